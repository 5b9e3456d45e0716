#pragma once

// Start at login through the desktop's autostart folder: an entry named
// app.nimbrella.Nimbrella.desktop in $XDG_CONFIG_HOME/autostart (~/.config/autostart)
// starts the program when the user logs in. An entry of the same name in the user's
// folder hides one in a system-wide folder ($XDG_CONFIG_DIRS/autostart, /etc/xdg/autostart).

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella {

class LoginItem {
 public:
  static constexpr std::string_view entryName = "app.nimbrella.Nimbrella.desktop";

  struct Paths {
    std::filesystem::path userFolder;                 // where this user's entries live
    std::vector<std::filesystem::path> systemFolders;  // in order of precedence
    std::filesystem::path program;                     // the program an entry must start
  };
  // The folders the environment names, for the program at `program`.
  static Paths fromEnvironment(std::filesystem::path program);

  explicit LoginItem(Paths paths) : paths_(std::move(paths)) {}

  // True when the entry that the desktop will read starts this program at login: the
  // user's entry if there is one, otherwise the first system-wide one.
  bool isEnabled() const;
  // Writes the user's entry (atomically) or takes it away, hiding a system-wide entry
  // that would still start the program. The system's error text when that failed.
  std::optional<std::string> setEnabled(bool enabled) const;

  const Paths& paths() const { return paths_; }
  std::filesystem::path userEntry() const { return paths_.userFolder / entryName; }

 private:
  std::optional<std::filesystem::path> systemEntry() const;
  bool startsThisProgram(const std::filesystem::path& entry) const;

  Paths paths_;
};

// The entry's text for `program`, as switching on writes it.
std::string autostartEntryText(const std::filesystem::path& program);
// An Exec argument quoted as desktop entries require (before the key file's own escapes).
std::string quotedExecArgument(std::string_view argument);
// The program of an Exec value (its first argument, unquoted; the key file's escapes
// already undone), if it has one.
std::optional<std::string> execProgram(std::string_view exec);

}  // namespace nimbrella
