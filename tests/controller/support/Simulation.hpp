#pragma once

// A deterministic world for the controller: a main queue with virtual time, a clock
// that reads it, a scripted server behind the HTTP transport port, a surface monitor
// double, a secret store that can be locked, in-memory user defaults and doubles for
// every other port. Nothing here sleeps or touches the platform; time only moves when
// a test advances it.

#include "SponsorApp/AppModel.hpp"
#include "SponsorApp/Ports.hpp"
#include "SponsorApp/network/ApiClient.hpp"
#include "SponsorApp/network/HttpTransport.hpp"
#include "SponsorApp/storage/SecretStore.hpp"
#include "SponsorCore/UserDefaults.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace nimbrella::simulation {

// A main queue whose time only advances when told. Tasks due at the same moment run
// in the order they were scheduled.
class ManualQueue final : public MainQueue {
 public:
  void post(std::function<void()> task) override { schedule(now_, std::move(task)); }
  void postAfter(double seconds, std::function<void()> task) override { schedule(now_ + std::max(0.0, seconds), std::move(task)); }
  std::unique_ptr<RepeatingTimer> scheduleRepeating(double seconds, std::function<void()> task) override;

  // Seconds of virtual time since the queue was made.
  double now() const noexcept { return now_; }
  // Moves time forward by `seconds`, running every task and timer firing on the way at
  // its own moment; advance(0) runs everything due now, and what that posts for now.
  void advance(double seconds);

 private:
  // A multimap keeps tasks due at the same moment in insertion order.
  void schedule(double due, std::function<void()> task) { tasks_.emplace(due, std::move(task)); }
  void repeat(double interval, std::shared_ptr<bool> live, std::shared_ptr<std::function<void()>> task);

  double now_ = 0;
  std::multimap<double, std::function<void()>> tasks_;
};

// Wall time and uptime that follow the queue's virtual time. Either may be moved on its
// own (a wall-clock change, a machine that slept).
class FakeClock final : public Clock {
 public:
  FakeClock(const ManualQueue& queue, Date startDate) : start_(startDate), queue_(queue) {}
  Date now() const override;
  double uptime() const override { return uptimeOffset + queue_.now(); }

  Date::duration wallOffset{};
  double uptimeOffset = 1000;

 private:
  Date start_;
  const ManualQueue& queue_;
};

struct FixedCalendar final : CalendarProvider {
  const Calendar& current() override {
    ++lookups;
    return calendar;
  }
  Calendar calendar{"UTC"};
  int lookups = 0;
};

struct RecordingBrowser final : BrowserOpener {
  void open(const std::string& url) override { opened.push_back(url); }
  std::vector<std::string> opened;
};

struct FakeIdleTime final : IdleTime {
  double secondsSinceLastInput() const override { return seconds; }
  double seconds = 1;
};

// Every handler ever subscribed is told; the controller's own handler ignores events
// once the controller is gone.
struct FakeSystemEvents final : SystemEvents {
  using Handler = std::function<void(SystemEvent)>;
  std::unique_ptr<SystemEventSubscription> subscribe(Handler handler) override {
    handlers.push_back(std::move(handler));
    return std::make_unique<SystemEventSubscription>();
  }
  void fire(SystemEvent event) {
    for (const Handler& handler : std::vector(handlers)) handler(event);
  }
  std::vector<Handler> handlers;
};

struct FakeLanguages final : PreferredLanguages {
  std::vector<std::string> preferredLanguages() const override { return languages; }
  std::vector<std::string> languages{"en-US"};
};

// An updater whose state the test sets; `report()` tells the controller it changed.
struct FakeUpdater final : SoftwareUpdater {
  void start(std::function<void()> beforeInstallation, std::function<void()> onChange) override {
    ++starts;
    hook = std::move(beforeInstallation);
    changed = std::move(onChange);
  }
  State state() const override { return current; }
  void checkForUpdates() override { ++checks; }
  void setAutomaticallyChecks(bool value) override { current.automaticallyChecks = value; report(); }
  void setAutomaticallyInstalls(bool value) override { current.automaticallyInstalls = value; report(); }
  void report() { if (changed) changed(); }
  int starts = 0;
  int checks = 0;
  State current;
  std::function<void()> hook;
  std::function<void()> changed;
};

struct FakePreferencesWindow final : PreferencesWindow {
  void show() override { ++shows; }
  int shows = 0;
};

// The monitor double: it reports the checks the test sets (with contentReady as the
// controller last set it) and records what the controller asked of it.
struct FakeMonitor final : SurfaceMonitorPort {
  void setExpectation(std::string text, std::optional<MenuBarContent>) override { expectedText = std::move(text); }
  void setContentReady(bool ready) override { contentReady = ready; }
  void setDisplayAwake(bool awake) override { displayAwake = awake; }
  void setSessionActive(bool active) override { sessionActive = active; }
  void setControlsClosed(bool) override {}
  EligibilitySnapshot snapshot() override {
    ++snapshots;
    EligibilitySnapshot result = checks;
    result.contentReady = checks.contentReady && contentReady;
    return result;
  }
  void synchronizeSurface(std::string_view, bool allowed) override { syncedAllowed = allowed; }
  const std::string& lastDiagnostic() const override { return diagnostic; }
  void hideSurface() override { ++hides; }
  void redrawStatusButton() override { ++redraws; }
  DesktopRefusal desktopRefusal() const override { return refusal; }

  EligibilitySnapshot checks;
  DesktopRefusal refusal = DesktopRefusal::none;
  int snapshots = 0, hides = 0, redraws = 0;
  bool syncedAllowed = false;
  // As the controller last told them.
  std::string expectedText, diagnostic;
  bool contentReady = false, displayAwake = true, sessionActive = true;
};

// An in-memory secret store. `failReads`, `failWrites` (update and add) and
// `failRemoves` make that kind of operation fail, as a locked keyring does, for the
// accounts in `failingAccounts` (all when empty).
class LockableSecretStore final : public SecretStore {
 public:
  SecretStoreLookup copyMatching(std::string_view service, std::string_view account) override;
  SecretStoreStatus update(std::string_view service, std::string_view account, std::span<const std::uint8_t> data) override;
  SecretStoreStatus add(std::string_view service, std::string_view account, std::span<const std::uint8_t> data) override;
  SecretStoreStatus remove(std::string_view service, std::string_view account) override;

  bool has(std::string_view account) const { return items_.contains(account); }
  const std::map<std::string, SecretBytes, std::less<>>& items() const { return items_; }
  std::optional<std::string> text(std::string_view account) const;
  void put(std::string_view account, std::string_view bytes) { putBytes(account, {bytes.begin(), bytes.end()}); }
  void putBytes(std::string_view account, SecretBytes bytes) { items_[std::string(account)] = std::move(bytes); }

  bool failReads = false, failWrites = false, failRemoves = false;
  std::set<std::string, std::less<>> failingAccounts;  // empty: every account

 private:
  bool fails(bool flag, std::string_view account) const {
    return flag && (failingAccounts.empty() || failingAccounts.contains(account));
  }
  std::map<std::string, SecretBytes, std::less<>> items_;
};

// One scripted answer: an HTTP answer, a transport failure, or "hold" (the request
// waits until the test releases it).
struct Hold {};
using Scripted = std::variant<HttpResponse, TransportError, Hold>;
inline const Scripted refused = TransportError{TransportError::Kind::connectionRefused, "Connection refused"};

// The server behind the transport port. Each path answers from its script first and
// otherwise from a small model of the real server. Answers are delivered through the
// manual queue.
class ScriptedServer final : public HttpTransport {
 public:
  ScriptedServer(ManualQueue& queue, const FakeClock& clock) : queue_(queue), clock_(clock) {}

  void send(HttpRequest request, Completion done) override;
  void post(std::function<void()> task) override { queue_.post(std::move(task)); }

  // Queues an answer for the next request whose path (without query) is `path`.
  void script(const std::string& path, Scripted answer) { scripts_[path].push_back(std::move(answer)); }
  void scriptStatus(const std::string& path, int status, std::string body = "{}") {
    script(path, HttpResponse{status, {}, std::move(body)});
  }
  void scriptHold(const std::string& path) { script(path, Hold{}); }
  // Answers the oldest held request of the path with `answer` (default: the model's).
  void release(const std::string& path, std::optional<Scripted> answer = std::nullopt);
  std::size_t held(const std::string& path) const { return held_.contains(path) ? held_.at(path).size() : 0; }

  // Requests received, oldest first.
  std::vector<HttpRequest> requests;
  std::vector<HttpRequest> requestsTo(const std::string& path) const;
  std::size_t count(const std::string& path) const { return requestsTo(path).size(); }

  // The model.
  std::string origin = "https://api.nimbrella.example";
  std::string deviceId = "0f8fad5b-d9cb-469f-a165-70867728950e";
  std::string deviceCode = "Dev1ceCode_0123456789-abcdefghijklmnopqrstu";  // 43 characters
  std::string userCode = "ABCDEF012345";
  std::string pollStatus = "approved";
  NetworkMode mode = NetworkMode::live;
  std::int64_t balanceMicros = 0;
  std::int64_t rewardMicros = 1500;
  // Makes the lease the start request answers with; by default a valid ten-second lease.
  std::function<ExposureLease(std::int64_t number)> makeLease;
  std::function<void(const HttpRequest&)> onRequest;

  ExposureLease defaultLease(std::int64_t number) const;
  std::string nowText(double secondsFromNow) const;

 private:
  Scripted model(const HttpRequest& request);
  void deliver(Completion done, Scripted answer);

  ManualQueue& queue_;
  const FakeClock& clock_;
  std::int64_t leaseCounter_ = 0;
  std::map<std::string, std::deque<Scripted>> scripts_;
  std::map<std::string, std::deque<std::pair<HttpRequest, Completion>>> held_;
};

// The path of a request URL, without origin and query.
std::string pathOf(const std::string& url);

// A whole world with a controller built on it (on demand, so tests can prepare the
// stored state first and rebuild the controller to simulate a restart).
class World {
 public:
  explicit World(ClientEnvironment environment = ClientEnvironment::production);

  AppModelPorts ports();
  AppModel& build();  // a new controller on the same stores (the old one is dropped)
  AppModel& model() { return *model_; }

  void advance(double seconds) { queue->advance(seconds); }
  void settle() { queue->advance(0); }

  // Stores a credential and key for the server's device, as after a pairing (with this
  // world's endpoint unless another origin is given).
  void storePairing(NetworkMode credentialMode = NetworkMode::live, std::string origin = {});
  // Consent on, not paused, as a user who opted in.
  void storeConsent() { defaults->setBoolean("menubarSponsorshipConsentV1", true); }
  std::string endpointText() const;

  ClientEnvironment environment;
  std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
  std::shared_ptr<FakeClock> clock;
  std::shared_ptr<FixedCalendar> calendar = std::make_shared<FixedCalendar>();
  std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
  std::shared_ptr<LockableSecretStore> secrets = std::make_shared<LockableSecretStore>();
  std::shared_ptr<ScriptedServer> server;
  std::shared_ptr<RecordingBrowser> browser = std::make_shared<RecordingBrowser>();
  std::shared_ptr<FakeIdleTime> idle = std::make_shared<FakeIdleTime>();
  std::shared_ptr<FakeSystemEvents> events = std::make_shared<FakeSystemEvents>();
  std::shared_ptr<FakeLanguages> languages = std::make_shared<FakeLanguages>();
  std::shared_ptr<FakeUpdater> updater = std::make_shared<FakeUpdater>();
  std::shared_ptr<FakeMonitor> monitor = std::make_shared<FakeMonitor>();
  std::shared_ptr<FakePreferencesWindow> preferencesWindow = std::make_shared<FakePreferencesWindow>();
  int preferencesWindowsMade = 0;
  std::vector<std::uint8_t> signingKey;

 private:
  std::unique_ptr<AppModel> model_;
};

}  // namespace nimbrella::simulation
