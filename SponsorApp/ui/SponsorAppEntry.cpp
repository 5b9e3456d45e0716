#include "SponsorApp/ui/SponsorAppEntry.hpp"

#include "SponsorApp/linux/PreferredLanguages.hpp"
#include "SponsorApp/linux/RunningCopies.hpp"
#include "SponsorCore/SingleInstanceLock.hpp"

#include <QMessageBox>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>
#include <system_error>

namespace nimbrella {

namespace fs = std::filesystem;

namespace {

constexpr const char* bundleIdentifier = "app.nimbrella.Nimbrella";

constexpr const char* usage =
    "Usage: nimbrella [--server URL] [--version] [--help]\n"
    "\n"
    "Lends a small strip of the desktop's top bar to sponsors and earns for it.\n"
    "\n"
    "  --server URL   the development server to talk to (development builds only;\n"
    "                 kept as the saved server address)\n"
    "  --version      print the version and build number, then end\n"
    "  --help         print this text, then end\n";

void report(const std::string& text) { std::fprintf(stderr, "nimbrella: %s\n", text.c_str()); }

// Creates `folder` and every missing folder above it with mode 0700 (only this user may
// look inside), then makes sure the application's own folder has that mode.
bool makeFolder(const fs::path& folder) {
  fs::path prefix;
  for (const fs::path& part : folder) {
    prefix /= part;
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) return false;
  if (!S_ISDIR(status.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return (status.st_mode & 07777) == 0700 || ::chmod(folder.c_str(), 0700) == 0;
}

}  // namespace

EntryOptions EntryOptions::parse(int argc, const char* const* argv, const AppInfo& info) {
  EntryOptions options;
  const auto end = [&options](int status, std::string output) {
    options.exitStatus = status;
    options.output = std::move(output);
    return options;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--version") {
      return end(0, "Nimbrella " + info.shownVersion + " (" + info.buildNumber.value_or("\xE2\x80\x94") + ")\n");
    }
    if (argument == "--help" || argument == "-h") return end(0, usage);
    if (argument == "--server") {
      if (i + 1 >= argc) return end(2, std::string("nimbrella: --server needs a URL\n") + usage);
      options.server = argv[++i];
    } else if (argument.rfind("--server=", 0) == 0) {
      options.server = std::string(argument.substr(9));
    } else {
      return end(2, "nimbrella: unknown option " + std::string(argument) + "\n" + usage);
    }
  }
  return options;
}

fs::path SponsorAppEntry::dataFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  fs::path base;
  if (data != nullptr && *data == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home != nullptr ? home : "") / ".local" / "share";
  }
  return base / bundleIdentifier;
}

std::string SponsorAppEntry::failureText() {
  const auto languages = LocalePreferredLanguages().preferredLanguages();
  if (!languages.empty() && languages.front().rfind("it", 0) == 0) {
    return "Impossibile avviare Nimbrella in modo sicuro. Chiudi le altre copie dell\xE2\x80\x99" "app e riprova.";
  }
  return "Nimbrella could not start safely. Close other copies of the app and try again.";
}

int SponsorAppEntry::main(QApplication& app, const Launch& launch, const Alert& alert) {
  (void)app;  // the caller's application object: the alert and the bus need it to exist
  const auto fail = [&alert](const std::string& reason) {
    report(reason);
    const std::string text = failureText();
    if (alert) {
      alert("Nimbrella", text);
    } else {
      QMessageBox box(QMessageBox::Critical, QStringLiteral("Nimbrella"), QString::fromStdString(text), QMessageBox::Ok);
      box.exec();
    }
    return 1;
  };

  // 1. The data folder.
  const fs::path folder = dataFolder();
  if (!makeFolder(folder)) {
    return fail("cannot create the data folder " + folder.string() + ": " + std::generic_category().message(errno));
  }

  // 2. The lock, held until this function returns.
  SingleInstanceLock::Outcome outcome = SingleInstanceLock::acquire(folder / "instance.lock");
  if (const auto* failure = std::get_if<LockFailure>(&outcome)) {
    return fail("cannot take the lock in " + folder.string() + ": " + std::generic_category().message(failure->code));
  }

  // 3. Another copy holds it: that copy shows its controls, and this one ends.
  if (std::holds_alternative<LockHeldElsewhere>(outcome)) {
    QString error;
    if (!activateRunningCopy(&error)) {
      report("another copy runs but did not answer: " + error.toStdString());
      return 1;
    }
    return 0;
  }

  // 4 and 5. A copy from before the lock may still run without holding it: that one is
  // asked instead, and this one ends. It can only be reached if it owns the bus name.
  for (const RunningCopy& copy : runningCopies(thisProgramName())) {
    if (!isOlderCopy(copy)) continue;
    QString error;
    if (!activateRunningCopy(&error, 2000)) {
      report("an older copy runs (process " + std::to_string(copy.pid) + ") and did not answer: " + error.toStdString());
    }
    return 0;
  }

  // 6. This copy runs, holding the lock until it ends.
  ApplicationService service;
  if (QString error; !service.registerOnSessionBus(&error)) {
    // A second launch cannot reach this copy then, but the lock still keeps it the only one.
    report("not reachable on the session bus: " + error.toStdString());
  }
  return launch(service);
}

}  // namespace nimbrella
