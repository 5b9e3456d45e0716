#include "SponsorApp/linux/QtSoftwareUpdater.hpp"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QTimer>

#include <charconv>
#include <chrono>

namespace nimbrella {

namespace {

constexpr const char* unreachable = "The update server could not be reached. Try again later.";
constexpr const char* badDownload = "The update could not be downloaded completely. Try again later.";
constexpr const char* tamperedDownload = "The downloaded update does not match its description and was deleted.";

QString q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

std::shared_ptr<CommandInstaller> CommandInstaller::system() {
  return std::make_shared<CommandInstaller>("/usr/bin/pkexec", std::vector<std::string>{"/usr/bin/apt-get", "install", "-y"});
}

void CommandInstaller::install(const std::filesystem::path& package, std::function<void(std::optional<std::string>)> done) {
  auto* process = new QProcess();
  process->setProgram(q(program_.string()));
  QStringList arguments;
  for (const auto& argument : arguments_) arguments << q(argument);
  process->setArguments(arguments << q(package.string()));
  const QString name = q(program_.filename().string());
  QObject::connect(process, &QProcess::finished, process, [process, done](int code, QProcess::ExitStatus status) {
    std::optional<std::string> error;
    if (status != QProcess::NormalExit || code != 0) {
      const QStringList lines = QString::fromLocal8Bit(process->readAllStandardError()).trimmed().split(u'\n');
      error = lines.isEmpty() || lines.last().isEmpty() ? "The installer ended with status " + std::to_string(code) + "."
                                                        : lines.last().toStdString();
    }
    process->deleteLater();
    done(error);
  });
  QObject::connect(process, &QProcess::errorOccurred, process, [process, done, name](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    process->deleteLater();
    done("The installer (" + name.toStdString() + ") could not be started.");
  });
  process->start();
}

QtSoftwareUpdater::QtSoftwareUpdater(UpdaterOptions options) : options_(std::move(options)) {
  if (!options_.now) options_.now = [] { return Date(std::chrono::system_clock::now()); };
}

QtSoftwareUpdater::~QtSoftwareUpdater() = default;

void QtSoftwareUpdater::start(std::function<void()> beforeInstallation, std::function<void()> changed) {
  if (started_ || !options_.configuration) return;
  started_ = true;
  beforeInstallation_ = std::move(beforeInstallation);
  changed_ = std::move(changed);
  network_ = std::make_unique<QNetworkAccessManager>();
  network_->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
  state_.automaticallyChecks = options_.defaults->boolean(automaticallyChecksKey).value_or(true);
  state_.automaticallyInstalls = options_.defaults->boolean(automaticallyInstallsKey).value_or(false);
  state_.canCheckForUpdates = true;
  scheduleChecks();
  if (changed_) changed_();
}

std::int64_t QtSoftwareUpdater::lastSequence() const {
  const auto text = options_.defaults->text(lastSequenceKey).value_or("0");
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

void QtSoftwareUpdater::setCanCheck(bool value) {
  if (state_.canCheckForUpdates == value) return;
  state_.canCheckForUpdates = value;
  if (changed_) changed_();
}

void QtSoftwareUpdater::setAutomaticallyChecks(bool value) {
  if (!started_) return;
  options_.defaults->setBoolean(automaticallyChecksKey, value);
  state_.automaticallyChecks = value;
  scheduleChecks();
  if (changed_) changed_();
}

void QtSoftwareUpdater::setAutomaticallyInstalls(bool value) {
  if (!started_) return;
  options_.defaults->setBoolean(automaticallyInstallsKey, value);
  state_.automaticallyInstalls = value;
  if (changed_) changed_();
}

void QtSoftwareUpdater::scheduleChecks() {
  if (!state_.automaticallyChecks) {
    if (timer_ != nullptr) timer_->stop();
    return;
  }
  if (timer_ == nullptr) {
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, [this] { check(false); });
  }
  timer_->start(static_cast<int>(options_.checkIntervalSeconds * 1000));
}

void QtSoftwareUpdater::checkForUpdates() {
  if (state_.canCheckForUpdates) check(true);
}

QNetworkReply* QtSoftwareUpdater::get(const std::string& url) {
  QNetworkRequest request{QUrl(q(url))};
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
  request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
  request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
  request.setTransferTimeout(options_.timeoutMs);
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  if (!options_.trustedCertificates.isEmpty()) tls.addCaCertificates(options_.trustedCertificates);
  request.setSslConfiguration(tls);
  return network_->get(request);
}

namespace {

// Collects a small answer, refused as soon as it grows past `cap`.
void collect(QNetworkReply* reply, std::int64_t cap, std::function<void(std::optional<std::string>)> done) {
  auto body = std::make_shared<std::string>();
  auto tooLong = std::make_shared<bool>(false);
  QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, body, tooLong, cap] {
    body->append(reply->readAll().toStdString());
    if (static_cast<std::int64_t>(body->size()) > cap) {
      *tooLong = true;
      reply->abort();
    }
  });
  QObject::connect(reply, &QNetworkReply::finished, reply, [reply, body, tooLong, done] {
    reply->deleteLater();
    body->append(reply->readAll().toStdString());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (*tooLong || reply->error() != QNetworkReply::NoError || status != 200) {
      done(std::nullopt);
      return;
    }
    done(std::move(*body));
  });
}

}  // namespace

void QtSoftwareUpdater::check(bool userInitiated) {
  if (!started_ || busy_) return;
  busy_ = true;
  userInitiated_ = userInitiated;
  lastOutcome_.clear();
  setCanCheck(false);
  const UpdateConfiguration& configuration = *options_.configuration;
  collect(get(configuration.feed.text()), maximumFeedSize, [this](std::optional<std::string> manifest) {
    if (!manifest) return finish(unreachable);
    collect(get(options_.configuration->signatureURL()), maximumFeedSize,
            [this, manifest = std::move(*manifest)](std::optional<std::string> signature) {
              if (!signature) return finish(unreachable);
              fetched(manifest, *signature);
            });
  });
}

void QtSoftwareUpdater::fetched(const std::string& manifest, const std::string& signature) {
  auto accepted = acceptManifest(manifest, signature, options_.configuration->publicKey, options_.runningBuild,
                                 lastSequence(), options_.now());
  if (const auto* refusal = std::get_if<UpdateRefusal>(&accepted)) return finish(std::string(describe(*refusal)));
  download(std::get<UpdateManifest>(accepted));
}

void QtSoftwareUpdater::download(const UpdateManifest& update) {
  QDir().mkpath(q(options_.downloadFolder.string()));
  QFile::setPermissions(q(options_.downloadFolder.string()), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  auto file = std::make_shared<QTemporaryFile>(q((options_.downloadFolder / "nimbrella-update-XXXXXX.deb").string()));
  file->setAutoRemove(false);
  if (!file->open()) return finish(badDownload);
  QNetworkReply* reply = get(update.url);
  auto written = std::make_shared<std::int64_t>(0);
  auto failed = std::make_shared<bool>(false);
  connect(reply, &QNetworkReply::readyRead, reply, [reply, file, written, failed, size = update.size] {
    const QByteArray chunk = reply->readAll();
    *written += chunk.size();
    if (*written > size || file->write(chunk) != chunk.size()) {  // more than announced: stop at once
      *failed = true;
      reply->abort();
    }
  });
  connect(reply, &QNetworkReply::finished, this, [this, reply, file, written, failed, update] {
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const std::filesystem::path path = file->fileName().toStdString();
    const bool flushed = file->flush();
    file->close();
    if (*failed || !flushed || reply->error() != QNetworkReply::NoError || status != 200 || *written != update.size) {
      QFile::remove(file->fileName());
      return finish(badDownload);
    }
    if (sha256OfFile(path) != update.sha256) {
      QFile::remove(file->fileName());
      return finish(tamperedDownload);
    }
    verified(update, path);
  });
}

void QtSoftwareUpdater::verified(const UpdateManifest& update, const std::filesystem::path& package) {
  if (state_.automaticallyInstalls || !options_.prompt) {
    if (state_.automaticallyInstalls) return install(update, package);
    QFile::remove(q(package.string()));
    return finish("Nimbrella " + update.version + " is available.");
  }
  options_.prompt->offer(update, [this, update, package](bool accepted) {
    if (accepted) return install(update, package);
    QFile::remove(q(package.string()));
    finish("Nimbrella " + update.version + " can be installed later.");
  });
}

void QtSoftwareUpdater::install(const UpdateManifest& update, const std::filesystem::path& package) {
  // The running copy goes on while the installer asks for permission and works: a
  // refusal or a failure leaves it as it was. Only the relaunch ends its exposure.
  options_.installer->install(package, [this, update, package](std::optional<std::string> error) {
    QFile::remove(q(package.string()));
    if (error) {
      userInitiated_ = true;  // a failed installation is always reported
      return finish(*error);
    }
    options_.defaults->setText(lastSequenceKey, std::to_string(update.sequence));
    finish("Nimbrella " + update.version + " was installed.");
    if (beforeInstallation_) beforeInstallation_();
    if (options_.relaunch) options_.relaunch();
  });
}

void QtSoftwareUpdater::finish(const std::string& outcome) {
  lastOutcome_ = outcome;
  busy_ = false;
  if (userInitiated_ && options_.prompt) options_.prompt->report(outcome);
  setCanCheck(true);
}

}  // namespace nimbrella
