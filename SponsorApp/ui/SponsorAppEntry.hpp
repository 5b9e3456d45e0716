#pragma once

// The program's entry: one copy per user. It takes the single-instance lock in the
// application's data folder; a second launch asks the running copy to show its
// controls and ends; a copy older than the lock that is still running is asked the
// same. Otherwise the application runs, holding the lock until it ends.

#include "SponsorApp/linux/AppInfo.hpp"
#include "SponsorApp/linux/ApplicationService.hpp"

#include <QApplication>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace nimbrella {

// The program's command line.
struct EntryOptions {
  std::optional<std::string> server;  // a development build's server address
  // Set when the program should end at once: the status, and what to print.
  std::optional<int> exitStatus;
  std::string output;

  static EntryOptions parse(int argc, const char* const* argv, const AppInfo& info);
};

class SponsorAppEntry {
 public:
  using Launch = std::function<int(ApplicationService& service)>;
  using Alert = std::function<void(const std::string& title, const std::string& text)>;

  // Runs the entry and, when this copy is the one to run, `launch` (which runs the
  // event loop); answers the process's exit status. `alert` shows the start-up failure
  // (a modal message box when not given).
  static int main(QApplication& app, const Launch& launch, const Alert& alert = {});

  // $XDG_DATA_HOME/app.nimbrella.Nimbrella (~/.local/share when unset).
  static std::filesystem::path dataFolder();
  // The failure alert's text in the first preferred language.
  static std::string failureText();
};

}  // namespace nimbrella
