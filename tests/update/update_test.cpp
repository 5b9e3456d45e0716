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
    std::size_t length = publicKey.size();
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
  Bytes publicKey = Bytes(32);
};

std::string manifest(std::int64_t build, std::int64_t sequence, const std::string& url, std::int64_t size,
                     const std::string& sha256, const std::string& expires = "2026-12-14T00:00:00Z") {
  return nlohmann::ordered_json{{"version", "0.2.0"}, {"build", build}, {"sequence", sequence}, {"expiresAt", expires},
                                {"url", url}, {"size", size}, {"sha256", sha256}}.dump();
}

std::string sha256Of(const std::string& bytes) {
  const fs::path path = fs::temp_directory_path() / "update-test-digest";
  std::ofstream(path, std::ios::binary) << bytes;
  const auto digest = sha256OfFile(path);
  fs::remove(path);
  return digest.value_or("");
}

TEST(UpdateRules, OnlyAnEnabledHttpsFeedWithA32ByteKeyUpdates) {
  const nlohmann::json valid{{"NimbrellaUpdatesEnabled", true}, {"SUFeedURL", "https://updates.example/feed.json"},
                             {"SUPublicEDKey", base64::encode(Bytes(32, 7))}};
  EXPECT_EQ(UpdateConfiguration::fromInfo(valid)->installer, std::nullopt);
  auto own = valid;
  own["NimbrellaUpdateInstaller"] = "/opt/root/install";
  EXPECT_EQ(UpdateConfiguration::fromInfo(own)->installer, fs::path("/opt/root/install"));
  // One change each (null: the key left out).
  const std::pair<std::string, nlohmann::json> refused[] = {
      {"SUFeedURL", "http://updates.example/feed.json"}, {"SUFeedURL", "https:/no-host"},
      {"SUPublicEDKey", base64::encode(Bytes(31, 7))}, {"SUPublicEDKey", base64::encode(Bytes(33, 7))},
      {"SUPublicEDKey", "not base64"}, {"NimbrellaUpdatesEnabled", "true"}, {"NimbrellaUpdatesEnabled", false},
      {"NimbrellaUpdatesEnabled", nullptr}, {"NimbrellaUpdateInstaller", "install"}, {"NimbrellaUpdateInstaller", 1},
  };
  for (const auto& [key, value] : refused) {
    auto info = valid;
    value.is_null() ? void(info.erase(key)) : void(info[key] = value);
    EXPECT_FALSE(UpdateConfiguration::fromInfo(info)) << key << " " << value.dump();
  }

  // Without a configuration the updater offers nothing.
  QtSoftwareUpdater off(UpdaterOptions{});
  int changes = 0;
  off.start([] {}, [&] { ++changes; });
  off.checkForUpdates();
  off.setAutomaticallyChecks(true);
  EXPECT_FALSE(off.state().canCheckForUpdates || off.state().automaticallyChecks || off.state().automaticallyInstalls);
  EXPECT_EQ(changes, 0);
}

TEST(UpdateRules, OnlyASignedNewerUnseenUnexpiredManifestIsActedOn) {
  const SigningKey project, forger;
  const std::string sha(64, 'a'), good = manifest(5, 9, "https://u.example/p.deb", 100, sha);
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

// The installer and the dialog: what they were given, and the installation, hook and
// relaunch in the order they came.
struct Recorder final : PackageInstaller, UpdatePrompt {
  void install(const fs::path& package, std::function<void(std::optional<std::string>)> done) override {
    std::ifstream in(package, std::ios::binary);
    installed.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    events.push_back("install");
    done(error);
  }
  void offer(const UpdateManifest& update, std::function<void(bool)> answer) override {
    offered.push_back(update.version);
    answer(accept);
  }
  void report(const std::string& message) override { reports.push_back(message); }
  std::vector<std::string> installed, events, offered, reports;
  std::optional<std::string> error;
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
        return r.set_content_provider(body.size(), "application/octet-stream",
                                      [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                        if (offset > 0) return false;  // half of it, then the connection drops
                                        sink.write(body.data(), body.size() / 2);
                                        return true;
                                      });
      }
      r.set_content(body, "application/octet-stream");
    });
    serving.emplace(server, "https");
  }
  void TearDown() override { serving.reset(); fs::remove_all(folder); }
  void publish(std::int64_t build, std::int64_t sequence, const std::string& digest = {}) {
    feed = manifest(build, sequence, serving->origin + "/package.deb", static_cast<std::int64_t>(package.size()),
                    digest.empty() ? sha256Of(package) : digest);
  }
  std::unique_ptr<QtSoftwareUpdater> updater(bool automaticallyInstalls = true) {
    UpdaterOptions options;
    options.configuration = UpdateConfiguration{*Url::parse(serving->origin + "/feed.json"), key.publicKey, {}};
    options.runningBuild = 4;
    options.defaults = defaults;
    options.installer = recorder;
    options.prompt = recorder;
    options.relaunch = [this] { recorder->events.push_back("relaunch"); };
    options.downloadFolder = folder;
    options.trustedCertificates = QSslCertificate::fromPath(QString::fromStdString((testing::certificateFolder() / "cert.pem").string()));
    options.timeoutMs = 500;
    options.now = [] { return now; };
    defaults->setBoolean(QtSoftwareUpdater::automaticallyInstallsKey, automaticallyInstalls);
    auto result = std::make_unique<QtSoftwareUpdater>(std::move(options));
    result->start([this] { recorder->events.push_back("hook"); }, [this] { ++changes; });
    return result;
  }
  bool checkAndWait(QtSoftwareUpdater& u) {
    u.checkForUpdates();
    return testing::runUntil([&u] { return u.state().canCheckForUpdates; });
  }

  SigningKey key;
  httplib::SSLServer server = testing::localHttpsServer();
  std::optional<testing::Serving> serving;
  std::string fault, feed;
  std::string package = std::string(200000, 'P') + "end";
  const fs::path folder = fs::temp_directory_path() / ("updates-" + std::to_string(::getpid()));
  std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  int changes = 0;
};

TEST_F(UpdaterTest, AskedFirstOrInstalledAutomaticallyAFailureKeepsTheSequenceAndNothingIsReplayed) {
  publish(5, 3);
  auto u = updater(false);
  u->start([] { FAIL() << "a second start"; }, {});
  EXPECT_EQ(changes, 1);
  ASSERT_TRUE(checkAndWait(*u));  // "Later"
  EXPECT_EQ(recorder->offered, (std::vector<std::string>{"0.2.0"}));
  EXPECT_TRUE(recorder->events.empty());
  EXPECT_TRUE(fs::is_empty(folder));
  recorder->accept = true;
  recorder->error = "dpkg: error processing archive";
  ASSERT_TRUE(checkAndWait(*u));
  EXPECT_EQ(recorder->events, (std::vector<std::string>{"install"}));  // the running copy goes on
  EXPECT_EQ(u->lastSequence(), 0);
  // The installer's own words, which no translation changes.
  EXPECT_EQ(updateOutcomeText(AppLanguage::it, recorder->reports.back()), "dpkg: error processing archive");

  // Installed without asking: installation, the hook once, relaunch; the manifest is used.
  recorder->error.reset();
  u->setAutomaticallyInstalls(true);
  EXPECT_TRUE(u->state().canCheckForUpdates && u->state().automaticallyChecks && u->state().automaticallyInstalls);
  ASSERT_TRUE(checkAndWait(*u));
  EXPECT_EQ(recorder->offered.size(), 2u);
  EXPECT_EQ(recorder->events, (std::vector<std::string>{"install", "install", "hook", "relaunch"}));
  EXPECT_EQ(recorder->installed.back(), package);
  EXPECT_EQ(u->lastSequence(), 3);
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_EQ(updateOutcomeText(AppLanguage::it, recorder->reports.back()), "Nimbrella 0.2.0 è stato installato.");
  ASSERT_TRUE(checkAndWait(*u));  // the same manifest again
  EXPECT_EQ(u->lastOutcome(), describe(UpdateRefusal::replayed));
  EXPECT_EQ(recorder->installed.size(), 2u);
}

TEST_F(UpdaterTest, EveryBadFeedOrDownloadIsRefusedWithNothingInstalled) {
  const std::string unreachable = "The update server could not be reached. Try again later.";
  const std::string incomplete = "The update could not be downloaded completely. Try again later.";
  const std::pair<std::string, std::string> cases[] = {
      {"redirect", unreachable}, {"stall", unreachable}, {"larger", incomplete}, {"truncated", incomplete},
      {"error", incomplete}, {"digest", "The downloaded update does not match its description and was deleted."},
      {"downgrade", std::string(describe(UpdateRefusal::notNewer))},
  };
  auto u = updater();
  for (const auto& [name, outcome] : cases) {
    SCOPED_TRACE(name);
    fault = name;
    publish(name == "downgrade" ? 4 : 5, 3, name == "digest" ? sha256Of("something else") : "");
    ASSERT_TRUE(checkAndWait(*u));
    EXPECT_EQ(u->lastOutcome(), outcome);
    EXPECT_NE(updateOutcomeText(AppLanguage::it, outcome), outcome);  // shown in Italian too
    EXPECT_TRUE(recorder->events.empty());
    EXPECT_EQ(u->lastSequence(), 0);
    EXPECT_TRUE(!fs::exists(folder) || fs::is_empty(folder));
  }
}

}  // namespace
}  // namespace nimbrella
