#include "SponsorApp/linux/AppInfo.hpp"

#include <nlohmann/json.hpp>

#include <charconv>
#include <fstream>
#include <system_error>

namespace nimbrella {

namespace fs = std::filesystem;

namespace {

std::optional<nlohmann::json> readJson(const fs::path& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  nlohmann::json json = nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;
  return json;
}

std::optional<std::string> textField(const nlohmann::json& json, const char* key) {
  const auto found = json.find(key);
  if (found == json.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

}  // namespace

std::optional<fs::path> AppInfo::infoFileOf(const fs::path& executable) {
  const fs::path folder = executable.parent_path();
  for (const fs::path& candidate : {folder / "Info.json", folder / ".." / "share" / "nimbrella" / "Info.json"}) {
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return candidate.lexically_normal();
  }
  return std::nullopt;
}

std::optional<std::string> AppInfo::buildNumberIn(const fs::path& path) {
  const auto json = readJson(path);
  return json ? textField(*json, "CFBundleVersion") : std::nullopt;
}

AppInfo AppInfo::forProgram(const fs::path& executable) {
  AppInfo info;
  std::error_code error;
  const fs::path program = executable.empty() ? fs::read_symlink("/proc/self/exe", error) : executable;
  if (error) return info;
  const auto file = infoFileOf(program);
  if (!file) return info;
  const auto json = readJson(*file);
  if (!json) return info;
  if (auto shown = textField(*json, "CFBundleShortVersionString"); shown && !shown->empty()) info.shownVersion = *shown;
  info.buildNumber = textField(*json, "CFBundleVersion");
  info.document = *json;
  return info;
}

std::optional<long long> parseBuildNumber(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);
  if (text.empty() || text.front() == '+' || (plus && text.front() == '-')) return std::nullopt;
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace nimbrella
