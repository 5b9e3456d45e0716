#pragma once

// The program's own facts from its Info.json: the shown version and the build number.
// The file sits beside the program in a build tree and in share/nimbrella/ of an
// installation prefix; both are found from the program's own path.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace nimbrella {

struct AppInfo {
  std::string shownVersion = "\xE2\x80\x94";  // "—" when unknown
  std::optional<std::string> buildNumber;
  nlohmann::json document;  // the whole file; null when there is none

  // The Info.json of the program at `executable` (/proc/self/exe when empty).
  static AppInfo forProgram(const std::filesystem::path& executable = {});
  // The Info.json that belongs to the program at `executable`, if there is one.
  static std::optional<std::filesystem::path> infoFileOf(const std::filesystem::path& executable);
  // The text of "CFBundleVersion" in the file at `path`, if it is text.
  static std::optional<std::string> buildNumberIn(const std::filesystem::path& path);
};

// A build number as a decimal integer with an optional leading "+" or "-", or nothing.
std::optional<long long> parseBuildNumber(std::string_view text);

}  // namespace nimbrella
