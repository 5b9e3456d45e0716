#include "SponsorApp/linux/LoginItem.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimbrella {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    const std::size_t end = std::min(text.find(separator, begin), text.size());
    if (end > begin) parts.emplace_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

// The key file's escapes in a value: \s, \n, \t, \r and \\.
std::string unescapeValue(std::string_view raw) {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      out += raw[i];
      continue;
    }
    switch (raw[++i]) {
      case 's': out += ' '; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      default: out += '\\', out += raw[i];
    }
  }
  return out;
}

std::string escapeValue(std::string_view value) {
  std::string out;
  for (const char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

// The unlocalised keys of the [Desktop Entry] group; nothing when the file cannot be read.
std::optional<std::map<std::string, std::string>> readEntry(const fs::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::map<std::string, std::string> keys;
  bool inEntry = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    const auto equals = line.find('=');
    if (!inEntry || equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    std::size_t start = equals + 1;
    while (start < line.size() && line[start] == ' ') ++start;
    keys.try_emplace(std::move(key), unescapeValue(std::string_view(line).substr(start)));
  }
  return keys;
}

std::optional<fs::path> onPath(const std::string& name) {
  for (const auto& folder : split(environment("PATH").value_or("/usr/local/bin:/usr/bin:/bin"), ':')) {
    const fs::path candidate = fs::path(folder) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

bool sameFile(const fs::path& a, const fs::path& b) {
  std::error_code error;
  return fs::equivalent(a, b, error);
}

std::string errorText(int code) { return std::error_code(code, std::generic_category()).message(); }

// Writes `text` to `path` through a temporary file in the same folder, so that the
// desktop reads either the old entry or the whole new one.
std::optional<std::string> writeAtomically(const fs::path& path, const std::string& text) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  if (error) return error.message();
  // Built by appending: GCC 12 at -O3 misreports the concatenation as an overlapping copy.
  std::string name = ".";
  name += path.filename().string();
  name += ".XXXXXX";
  std::string temporary = (path.parent_path() / name).string();
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return errorText(errno);
  std::size_t written = 0;
  int failure = 0;
  while (written < text.size() && failure == 0) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno != EINTR) failure = errno;
    if (n > 0) written += static_cast<std::size_t>(n);
  }
  if (failure == 0 && ::fchmod(fd, 0644) != 0) failure = errno;
  if (failure == 0 && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(temporary.c_str());
    return errorText(failure);
  }
  return std::nullopt;
}

}  // namespace

LoginItem::Paths LoginItem::fromEnvironment(fs::path program) {
  Paths paths;
  fs::path config;
  if (const auto home = environment("XDG_CONFIG_HOME"); home && fs::path(*home).is_absolute()) {
    config = *home;
  } else {
    config = fs::path(environment("HOME").value_or("/")) / ".config";
  }
  paths.userFolder = config / "autostart";
  for (const auto& folder : split(environment("XDG_CONFIG_DIRS").value_or("/etc/xdg"), ':')) {
    if (fs::path(folder).is_absolute()) paths.systemFolders.push_back(fs::path(folder) / "autostart");
  }
  paths.program = std::move(program);
  return paths;
}

std::optional<fs::path> LoginItem::systemEntry() const {
  for (const auto& folder : paths_.systemFolders) {
    std::error_code error;
    if (fs::exists(folder / entryName, error)) return folder / entryName;
  }
  return std::nullopt;
}

bool LoginItem::startsThisProgram(const fs::path& entry) const {
  const auto keys = readEntry(entry);
  if (!keys) return false;
  const auto value = [&keys](const char* key) {
    const auto found = keys->find(key);
    return found == keys->end() ? std::string() : found->second;
  };
  if (value("Type") != "Application" || value("Hidden") == "true" || value("X-GNOME-Autostart-enabled") == "false") {
    return false;
  }
  const auto program = execProgram(value("Exec"));
  if (!program) return false;
  if (program->find('/') == std::string::npos) {
    const auto found = onPath(*program);
    return found && sameFile(*found, paths_.program);
  }
  return sameFile(*program, paths_.program);
}

bool LoginItem::isEnabled() const {
  std::error_code error;
  if (fs::exists(userEntry(), error) || fs::is_symlink(userEntry(), error)) return startsThisProgram(userEntry());
  const auto system = systemEntry();
  return system && startsThisProgram(*system);
}

std::optional<std::string> LoginItem::setEnabled(bool enabled) const {
  if (enabled) return writeAtomically(userEntry(), autostartEntryText(paths_.program));
  if (const auto system = systemEntry(); system && startsThisProgram(*system)) {
    return writeAtomically(userEntry(), autostartEntryText(paths_.program) + "Hidden=true\n");
  }
  std::error_code error;
  fs::remove(userEntry(), error);
  if (error) return error.message();
  return std::nullopt;
}

std::string quotedExecArgument(std::string_view argument) {
  constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string exec;
  if (argument.find_first_of(reserved) == std::string_view::npos && !argument.empty()) {
    exec = argument;
  } else {
    exec = "\"";
    for (const char c : argument) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') exec += '\\';
      exec += c;
    }
    exec += '"';
  }
  std::string out;
  for (const char c : exec) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

std::optional<std::string> execProgram(std::string_view exec) {
  std::size_t i = exec.find_first_not_of(" \t");
  if (i == std::string_view::npos) return std::nullopt;
  std::string program;
  if (exec[i] == '"') {
    bool closed = false;
    for (++i; i < exec.size(); ++i) {
      if (exec[i] == '\\' && i + 1 < exec.size()) {
        program += exec[++i];
      } else if (exec[i] == '"') {
        closed = true;
        break;
      } else {
        program += exec[i];
      }
    }
    if (!closed) return std::nullopt;
  } else {
    program = exec.substr(i, exec.find_first_of(" \t", i) - i);
  }
  std::string out;
  for (std::size_t k = 0; k < program.size(); ++k) {
    out += program[k];
    if (program[k] == '%' && k + 1 < program.size() && program[k + 1] == '%') ++k;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

std::string autostartEntryText(const fs::path& program) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Nimbrella\n"
         "Comment=Lend a strip of the top bar to sponsors\n"
         "Exec=" + escapeValue(quotedExecArgument(program.string())) + "\n"
         "Icon=app.nimbrella.Nimbrella\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n"
         "X-GNOME-Autostart-Delay=5\n"
         "X-KDE-autostart-after=panel\n";
}

}  // namespace nimbrella
