#include "SponsorApp/linux/RunningCopies.hpp"

#include "SponsorApp/linux/AppInfo.hpp"

#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace nimbrella {

namespace fs = std::filesystem;

namespace {

// The real uid and the state letter of /proc/PID/status.
bool aliveAndOurs(const fs::path& status) {
  std::ifstream file(status);
  std::string line;
  bool ours = false;
  bool alive = false;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "Uid:") {
      uid_t real = 0;
      ours = static_cast<bool>(fields >> real) && real == ::getuid();
    } else if (key == "State:") {
      char state = 0;
      alive = static_cast<bool>(fields >> state) && state != 'Z' && state != 'X';
    }
  }
  return ours && alive;
}

// The target of an exe link; the kernel marks an executable that is gone since the
// process started with " (deleted)".
std::optional<fs::path> executableOf(const fs::path& link) {
  std::error_code error;
  std::string target = fs::read_symlink(link, error).string();
  if (error || target.empty()) return std::nullopt;
  constexpr std::string_view deleted = " (deleted)";
  if (target.size() > deleted.size() && target.ends_with(deleted)) target.resize(target.size() - deleted.size());
  return fs::path(target);
}

}  // namespace

std::vector<RunningCopy> runningCopies(const std::string& name, const fs::path& proc) {
  std::vector<RunningCopy> copies;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(proc, error)) {
    const std::string pidText = entry.path().filename().string();
    if (pidText.empty() || pidText.size() > 9 || pidText.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto pid = static_cast<pid_t>(std::stol(pidText));
    if (pid == ::getpid() || !aliveAndOurs(entry.path() / "status")) continue;
    const auto executable = executableOf(entry.path() / "exe");
    if (!executable || executable->filename() != name) continue;
    RunningCopy copy{pid, *executable, std::nullopt};
    if (const auto info = AppInfo::infoFileOf(*executable)) copy.buildNumber = AppInfo::buildNumberIn(*info);
    copies.push_back(std::move(copy));
  }
  return copies;
}

std::string thisProgramName() {
  const auto self = executableOf("/proc/self/exe");
  return self ? self->filename().string() : std::string("nimbrella");
}

bool isOlderCopy(const RunningCopy& copy) {
  if (!copy.buildNumber) return false;
  const auto number = parseBuildNumber(*copy.buildNumber);
  return number && *number < 3;
}

}  // namespace nimbrella
