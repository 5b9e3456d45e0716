// Self-update: which installations update, which manifests are acted on, and the whole
// road against a local HTTPS server with a certificate only this test trusts.

#include "SponsorApp/linux/QtSoftwareUpdater.hpp"
#include "SponsorCore/Base64.hpp"
#include "SponsorCore/InternetDate.hpp"
#include "network/LocalServer.hpp"
#include "network/QtLoop.hpp"

#include <httplib.h>
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <stdlib.h>

namespace nimbrella {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment);
const Date now = *parseInternetDate("2026-12-07T12:00:00Z");

// An Ed25519 key pair that signs manifests as the project does.
struct SigningKey {
  SigningKey() : key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {
    std::size_t length = 32;
    publicKey.resize(32);
    EVP_PKEY_get_raw_public_key(key.get(), publicKey.data(), &length);
  }
  std::string sign(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    Bytes signature(64);
    std::size_t length = signature.size();
    EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get());
    EVP_DigestSign(context.get(), signature.data(), &length, reinterpret_cast<const unsigned char*>(message.data()),
                   message.size());
    return base64::encode(signature) + "\n";
  }
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key;
  Bytes publicKey;
};

std::string manifest(std::int64_t build, std::int64_t sequence, const std::string& url, std::int64_t size,
                     const std::string& sha256, const std::string& expires = "2026-12-14T00:00:00Z") {
  return R"({"version":"0.2.0","build":)" + std::to_string(build) + R"(,"sequence":)" + std::to_string(sequence) +
         R"(,"expiresAt":")" + expires + R"(","url":")" + url + R"(","size":)" + std::to_string(size) +
         R"(,"sha256":")" + sha256 + R"("})";
}

std::string sha256Of(const std::string& bytes) {
  const fs::path path = fs::temp_directory_path() / "update-test-digest";
  std::ofstream(path, std::ios::binary) << bytes;
  const auto digest = sha256OfFile(path);
  fs::remove(path);
  return digest.value_or("");
}

TEST(UpdateRules, OnlyAnEnabledHttpsFeedWithA32ByteKeyUpdates) {
  const std::string key32 = base64::encode(Bytes(32, 7));
  const auto info = [&](nlohmann::json enabled, std::string feed, std::string key) {
    return nlohmann::json{{"NimbrellaUpdatesEnabled", enabled}, {"SUFeedURL", feed}, {"SUPublicEDKey", key}};
  };
  EXPECT_EQ(UpdateConfiguration::fromInfo(info(true, "https://updates.example/feed.json", key32))->installer, std::nullopt);
  auto own = info(true, "https://updates.example/feed.json", key32);
  own["NimbrellaUpdateInstaller"] = "/opt/root/install";
  EXPECT_EQ(UpdateConfiguration::fromInfo(own)->installer, fs::path("/opt/root/install"));
  auto relative = own, notText = own;
  relative["NimbrellaUpdateInstaller"] = "install", notText["NimbrellaUpdateInstaller"] = 1;
  for (const auto& refused : {info(true, "http://updates.example/feed.json", key32),
                              info(true, "https://updates.example/feed.json", base64::encode(Bytes(31, 7))),
                              info(true, "https://updates.example/feed.json", base64::encode(Bytes(33, 7))),
                              info("true", "https://updates.example/feed.json", key32),
                              info(false, "https://updates.example/feed.json", key32),
                              info(true, "https:/no-host", key32), info(true, "https://u.example/f", "not base64"),
                              relative, notText,
                              nlohmann::json{{"SUFeedURL", "https://u.example/f"}, {"SUPublicEDKey", key32}}}) {
    EXPECT_FALSE(UpdateConfiguration::fromInfo(refused)) << refused.dump();
  }
}

TEST(UpdateRules, OnlyASignedNewerUnseenUnexpiredManifestIsActedOn) {
  const SigningKey project, forger;
  const std::string sha(64, 'a');
  const std::string good = manifest(5, 9, "https://u.example/p.deb", 100, sha);
  const auto outcome = [&](const std::string& text, const std::string& signature) {
    const auto result = acceptManifest(text, signature, project.publicKey, 4, 8, now);
    return std::holds_alternative<UpdateManifest>(result) ? std::optional<UpdateRefusal>() : std::get<UpdateRefusal>(result);
  };
  EXPECT_EQ(outcome(good, project.sign(good)), std::nullopt);
  const std::tuple<std::string, std::string, UpdateRefusal> cases[] = {
      {good, forger.sign(good), UpdateRefusal::badSignature},
      {good + " ", project.sign(good), UpdateRefusal::badSignature},
      {"not json", {}, UpdateRefusal::malformed},
      {manifest(5, 9, "https://u.example/p.deb", 100, "ABC"), {}, UpdateRefusal::malformed},
      {manifest(4, 9, "https://u.example/p.deb", 100, sha), {}, UpdateRefusal::notNewer},
      {manifest(5, 8, "https://u.example/p.deb", 100, sha), {}, UpdateRefusal::replayed},
      {manifest(5, 9, "https://u.example/p.deb", 100, sha, "2026-12-07T12:00:00Z"), {}, UpdateRefusal::expired},
      {manifest(5, 9, "http://u.example/p.deb", 100, sha), {}, UpdateRefusal::unsafePackage},
      {manifest(5, 9, "https://u.example/p.deb", maximumPackageSize + 1, sha), {}, UpdateRefusal::unsafePackage},
  };
  for (const auto& [text, signature, expected] : cases) {
    EXPECT_EQ(outcome(text, signature.empty() ? project.sign(text) : signature), expected) << text;
  }
}

TEST(UpdateRules, TheDialogAndTheOutcomesInItalian) {
  EXPECT_EQ(UpdatePromptText::offer(AppLanguage::it, "0.2.0").text, "Nimbrella 0.2.0 è pronto per l’installazione.");
  EXPECT_EQ(updateOutcomeText(AppLanguage::it, std::string(describe(UpdateRefusal::expired))),
            "La descrizione dell’aggiornamento è scaduta.");
  EXPECT_EQ(updateOutcomeText(AppLanguage::it, "Nimbrella 0.2.0 was installed."), "Nimbrella 0.2.0 è stato installato.");
  EXPECT_EQ(updateOutcomeText(AppLanguage::it, "The installer (pkexec) could not be started."),
            "Impossibile avviare il programma di installazione (pkexec).");
  EXPECT_EQ(updateOutcomeText(AppLanguage::it, "dpkg: error"), "dpkg: error");
}

struct RecordingInstaller final : PackageInstaller {
  void install(const fs::path& package, std::function<void(std::optional<std::string>)> done) override {
    std::ifstream in(package, std::ios::binary);
    installed.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    events->push_back("install");
    done(error);
  }
  std::vector<std::string> installed;
  std::optional<std::string> error;
  std::shared_ptr<std::vector<std::string>> events;
};

struct RecordingPrompt final : UpdatePrompt {
  void offer(const UpdateManifest& update, std::function<void(bool)> answer) override {
    offered.push_back(update.version);
    answer(accept);
  }
  void report(const std::string& message) override { reports.push_back(message); }
  std::vector<std::string> offered, reports;
  bool accept = false;
};

// The HTTPS feed and package, with one way of going wrong chosen per test case.
class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Get("/feed.json", [this](const httplib::Request&, httplib::Response& r) {
      if (fault == "redirect") return r.set_redirect("/elsewhere.json");
      if (fault == "stall") std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      r.set_content(feed, "application/json");
    });
    server.Get("/feed.json.sig", [this](const httplib::Request&, httplib::Response& r) { r.set_content(key.sign(feed), "text/plain"); });
    server.Get("/package.deb", [this](const httplib::Request&, httplib::Response& r) {
      if (fault == "error") return void(r.status = 500);
      std::string body = package + (fault == "larger" ? std::string(4096, 'x') : "");
      if (fault == "truncated") {
        r.set_content_provider(body.size(), "application/octet-stream",
                               [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset > 0) return false;  // half of it, then the connection drops
                                 sink.write(body.data(), body.size() / 2);
                                 return true;
                               });
        return;
      }
      r.set_content(body, "application/octet-stream");
    });
    serving.emplace(server, "https");
    folder = fs::temp_directory_path() / ("updates-" + std::to_string(::getpid()));
    installer->events = events;
  }
  void TearDown() override {
    serving.reset();
    fs::remove_all(folder);
  }
  const std::string& origin() const { return serving->origin; }
  void publish(std::int64_t build, std::int64_t sequence, const std::string& digest = {}) {
    feed = manifest(build, sequence, origin() + "/package.deb", static_cast<std::int64_t>(package.size()),
                    digest.empty() ? sha256Of(package) : digest);
  }
  std::unique_ptr<QtSoftwareUpdater> updater(bool automaticallyInstalls = true) {
    UpdaterOptions options;
    options.configuration = UpdateConfiguration{*Url::parse(origin() + "/feed.json"), key.publicKey, {}};
    options.runningBuild = 4;
    options.defaults = defaults;
    options.installer = installer;
    options.prompt = prompt;
    options.relaunch = [this] { events->push_back("relaunch"); };
    options.downloadFolder = folder;
    options.trustedCertificates = QSslCertificate::fromPath(QString::fromStdString((testing::certificateFolder() / "cert.pem").string()));
    options.timeoutMs = 500;
    options.now = [] { return now; };
    defaults->setBoolean(QtSoftwareUpdater::automaticallyInstallsKey, automaticallyInstalls);
    auto result = std::make_unique<QtSoftwareUpdater>(std::move(options));
    result->start([this] { events->push_back("hook"); }, [this] { ++changes; });
    return result;
  }
  bool checkAndWait(QtSoftwareUpdater& u) {
    u.checkForUpdates();
    return testing::runUntil([&u] { return u.state().canCheckForUpdates; });
  }

  SigningKey key;
  httplib::SSLServer server = testing::localHttpsServer();
  std::optional<testing::Serving> serving;
  std::string fault;
  std::string package = std::string(200000, 'P') + "end";
  std::string feed;
  fs::path folder;
  std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
  std::shared_ptr<std::vector<std::string>> events = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<RecordingInstaller> installer = std::make_shared<RecordingInstaller>();
  std::shared_ptr<RecordingPrompt> prompt = std::make_shared<RecordingPrompt>();
  int changes = 0;
};

TEST_F(UpdaterTest, AVerifiedUpdateRunsTheHookOnceInstallsRelaunchesAndIsNeverReplayed) {
  publish(5, 3);
  auto u = updater();
  u->start([] { FAIL() << "a second start"; }, {});
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(u->state().canCheckForUpdates && u->state().automaticallyChecks && u->state().automaticallyInstalls);
  ASSERT_TRUE(checkAndWait(*u));
  EXPECT_EQ(*events, (std::vector<std::string>{"install", "hook", "relaunch"}));
  ASSERT_EQ(installer->installed.size(), 1u);
  EXPECT_EQ(installer->installed[0], package);
  EXPECT_EQ(u->lastSequence(), 3);
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_EQ(prompt->reports, (std::vector<std::string>{"Nimbrella 0.2.0 was installed."}));

  // The same manifest again, or an older one, is never acted on.
  ASSERT_TRUE(checkAndWait(*u));
  EXPECT_EQ(u->lastOutcome(), describe(UpdateRefusal::replayed));
  EXPECT_EQ(installer->installed.size(), 1u);
}

TEST_F(UpdaterTest, AskedFirstWithoutAutomaticInstallsAndAFailedInstallKeepsTheSequence) {
  publish(5, 3);
  auto u = updater(false);
  ASSERT_TRUE(checkAndWait(*u));  // "Later"
  EXPECT_EQ(prompt->offered, (std::vector<std::string>{"0.2.0"}));
  EXPECT_TRUE(events->empty());
  EXPECT_TRUE(fs::is_empty(folder));
  prompt->accept = true;
  installer->error = "dpkg: error processing archive";
  ASSERT_TRUE(checkAndWait(*u));
  EXPECT_EQ(*events, (std::vector<std::string>{"install"}));  // the running copy goes on
  EXPECT_EQ(u->lastSequence(), 0);
  EXPECT_EQ(prompt->reports.back(), "dpkg: error processing archive");
}

TEST_F(UpdaterTest, EveryBadFeedOrDownloadIsRefusedWithNothingInstalled) {
  const std::pair<std::string, std::string> cases[] = {
      {"redirect", "The update server could not be reached. Try again later."},
      {"stall", "The update server could not be reached. Try again later."},
      {"larger", "The update could not be downloaded completely. Try again later."},
      {"truncated", "The update could not be downloaded completely. Try again later."},
      {"error", "The update could not be downloaded completely. Try again later."},
      {"digest", "The downloaded update does not match its description and was deleted."},
      {"downgrade", std::string(describe(UpdateRefusal::notNewer))},
  };
  auto u = updater();
  for (const auto& [name, outcome] : cases) {
    SCOPED_TRACE(name);
    fault = name;
    publish(name == "downgrade" ? 4 : 5, 3, name == "digest" ? sha256Of("something else") : "");
    ASSERT_TRUE(checkAndWait(*u));
    EXPECT_EQ(u->lastOutcome(), outcome);
    EXPECT_TRUE(events->empty());
    EXPECT_EQ(u->lastSequence(), 0);
    EXPECT_TRUE(!fs::exists(folder) || fs::is_empty(folder));
  }
}

TEST_F(UpdaterTest, AnInstallationThatDoesNotUpdateOffersNothing) {
  QtSoftwareUpdater off(UpdaterOptions{});
  off.start([] {}, [this] { ++changes; });
  off.checkForUpdates();
  off.setAutomaticallyChecks(true);
  EXPECT_FALSE(off.state().canCheckForUpdates || off.state().automaticallyChecks || off.state().automaticallyInstalls);
  EXPECT_EQ(changes, 0);
}

}  // namespace
}  // namespace nimbrella
