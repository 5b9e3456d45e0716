#pragma once

// Self-update over Qt Network: a daily check while automatic checks are on and a check
// the user asks for; a manifest acted on only when signed by the project's key, newer
// than this build, newer than the last one used and not expired; a package downloaded
// into the user's cache folder without redirects, cookies or cache, capped at its
// announced size and used only when its SHA-256 matches; then the installer and, once
// it has succeeded, the hook and a relaunch.

#include "SponsorApp/Ports.hpp"
#include "SponsorApp/update/UpdateFeed.hpp"
#include "SponsorCore/UserDefaults.hpp"

#include <QList>
#include <QObject>
#include <QSslCertificate>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace nimbrella {

// Installs a verified package; `done` gets the system's error text on failure.
class PackageInstaller {
 public:
  virtual ~PackageInstaller() = default;
  virtual void install(const std::filesystem::path& package, std::function<void(std::optional<std::string>)> done) = 0;
};

// Runs `program arguments... PACKAGE`: status 0 is success, anything else a failure
// told by the last line the program wrote to standard error.
class CommandInstaller final : public PackageInstaller {
 public:
  CommandInstaller(std::filesystem::path program, std::vector<std::string> arguments)
      : program_(std::move(program)), arguments_(std::move(arguments)) {}
  // The system's installer: apt-get through pkexec, which asks the user for permission.
  static std::shared_ptr<CommandInstaller> system();
  void install(const std::filesystem::path& package, std::function<void(std::optional<std::string>)> done) override;

 private:
  std::filesystem::path program_;
  std::vector<std::string> arguments_;
};

// What the updater needs to ask and tell the user.
class UpdatePrompt {
 public:
  virtual ~UpdatePrompt() = default;
  // A verified update is ready: "Install" answers true, "Later" false.
  virtual void offer(const UpdateManifest& update, std::function<void(bool install)> answer) = 0;
  // A check the user asked for found nothing or failed.
  virtual void report(const std::string& message) = 0;
};

struct UpdaterOptions {
  std::optional<UpdateConfiguration> configuration;  // none: this installation does not update
  std::int64_t runningBuild = 0;
  std::shared_ptr<UserDefaults> defaults;  // the switches and the last sequence acted on
  std::shared_ptr<PackageInstaller> installer;
  std::shared_ptr<UpdatePrompt> prompt;
  std::function<void()> relaunch;
  std::filesystem::path downloadFolder;
  QList<QSslCertificate> trustedCertificates;  // besides the system's
  int timeoutMs = 30'000;
  double checkIntervalSeconds = 24 * 60 * 60;
  std::function<Date()> now;
};

class QtSoftwareUpdater final : public QObject, public SoftwareUpdater {
 public:
  static constexpr const char* automaticallyChecksKey = "updateAutomaticallyChecks";
  static constexpr const char* automaticallyInstallsKey = "updateAutomaticallyInstalls";
  static constexpr const char* lastSequenceKey = "updateLastSequence";

  explicit QtSoftwareUpdater(UpdaterOptions options);
  ~QtSoftwareUpdater() override;

  void start(std::function<void()> beforeInstallation, std::function<void()> changed) override;
  State state() const override { return state_; }
  void checkForUpdates() override;
  void setAutomaticallyChecks(bool value) override;
  void setAutomaticallyInstalls(bool value) override;

  bool isStarted() const { return started_; }
  std::int64_t lastSequence() const;
  // The outcome of the last check, for diagnostics: empty while one runs.
  const std::string& lastOutcome() const { return lastOutcome_; }

 private:
  void check(bool userInitiated);
  QNetworkReply* get(const std::string& url);
  void fetched(const std::string& manifest, const std::string& signature);
  void download(const UpdateManifest& update);
  void verified(const UpdateManifest& update, const std::filesystem::path& package);
  void install(const UpdateManifest& update, const std::filesystem::path& package);
  void finish(const std::string& outcome);
  void setCanCheck(bool value);
  void scheduleChecks();

  UpdaterOptions options_;
  State state_;
  bool started_ = false;
  bool busy_ = false;
  bool userInitiated_ = false;
  std::string lastOutcome_;
  std::function<void()> beforeInstallation_;
  std::function<void()> changed_;
  std::unique_ptr<QNetworkAccessManager> network_;
  QTimer* timer_ = nullptr;
};

}  // namespace nimbrella
