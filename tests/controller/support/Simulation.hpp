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
  void post(std::function<void()> task) override;
  void postAfter(double seconds, std::function<void()> task) override;
  std::unique_ptr<RepeatingTimer> scheduleRepeating(double seconds, std::function<void()> task) override;

  // Seconds of virtual time since the queue was made.
  double now() const noexcept { return now_; }
  // Runs everything due now, including what that work posts for now (bounded).
  void runReady();
  // Moves time forward by `seconds`, running every task and timer firing on the way at
  // its own moment.
  void advance(double seconds);
  // Number of tasks and live timers waiting.
  std::size_t waitingTasks() const noexcept { return tasks_.size(); }
  std::size_t liveTimers() const;

 private:
  struct Timer;
  struct Task {
    double due;
    std::uint64_t order;
    std::function<void()> run;
  };
  void schedule(double due, std::function<void()> task);
  bool runNextDue(double limit);

  double now_ = 0;
  std::uint64_t order_ = 0;
  std::deque<Task> tasks_;  // kept sorted by (due, order)
  std::vector<std::weak_ptr<Timer>> timers_;
};

// Wall time and uptime that follow the queue's virtual time. Either may be moved on its
// own (a wall-clock change, a machine that slept).
class FakeClock final : public Clock {
 public:
  explicit FakeClock(const ManualQueue& queue, Date start);
  Date now() const override;
  double uptime() const override;

  Date start;
  Date::duration wallOffset{};
  double uptimeOffset = 1000;

 private:
  const ManualQueue& queue_;
};

class FixedCalendar final : public CalendarProvider {
 public:
  explicit FixedCalendar(std::string zone = "UTC") : calendar(zone) {}
  const Calendar& current() override { return calendar; }
  Calendar calendar;
};

class RecordingBrowser final : public BrowserOpener {
 public:
  void open(const std::string& url) override { opened.push_back(url); }
  std::vector<std::string> opened;
};

class FakeIdleTime final : public IdleTime {
 public:
  double secondsSinceLastInput() const override { return seconds; }
  double seconds = 1;
};

class FakeSystemEvents final : public SystemEvents {
 public:
  std::unique_ptr<SystemEventSubscription> subscribe(std::function<void(SystemEvent)> handler) override;
  void fire(SystemEvent event);
  std::size_t subscribers() const;

 private:
  struct Entry;
  std::vector<std::weak_ptr<Entry>> entries_;
};

class FakeLanguages final : public PreferredLanguages {
 public:
  std::vector<std::string> preferredLanguages() const override { return languages; }
  std::vector<std::string> languages{"en-US"};
};

class FakeUpdater final : public SoftwareUpdater {
 public:
  void start(std::function<void()> beforeInstallation) override {
    ++starts;
    hook = std::move(beforeInstallation);
  }
  int starts = 0;
  std::function<void()> hook;
};

// The monitor double: it reports the snapshot the test sets and records what the
// controller asked of it.
class FakeMonitor final : public SurfaceMonitorPort {
 public:
  EligibilitySnapshot snapshot() override;
  void synchronizeSurface(std::string_view text, bool allowed) override;
  const std::string& lastDiagnostic() const override { return diagnostic; }
  void hideSurface() override { ++hides; }
  void redrawStatusButton() override { ++redraws; }

  // The checks reported while the controller's contentReady is true; contentReady
  // itself is taken from the flag, as the real monitor does.
  EligibilitySnapshot checks;
  std::string diagnostic = "No sponsored item to measure.";
  std::string passingDiagnostic =
      "Own slot bounds and nine hit-test points pass. This does not prove human attention or every pixel.";
  int snapshots = 0;
  int hides = 0;
  int redraws = 0;
  std::string syncedText;
  bool syncedAllowed = false;
};

// Every Unicode scalar is 7 points wide and a line 14 points high.
class FixedWidthMeasurer final : public TextMeasurer {
 public:
  Size measure(std::string_view text, const FontSpec& font) const override;
};

// An in-memory secret store. `locked` makes every operation fail, as a locked
// keyring does; `failWrites` makes only saves (update and add) fail for the accounts
// listed (all accounts when empty).
class LockableSecretStore final : public SecretStore {
 public:
  SecretStoreLookup copyMatching(std::string_view service, std::string_view account) override;
  SecretStoreStatus update(std::string_view service, std::string_view account,
                           std::span<const std::uint8_t> data) override;
  SecretStoreStatus add(std::string_view service, std::string_view account,
                        std::span<const std::uint8_t> data) override;
  SecretStoreStatus remove(std::string_view service, std::string_view account) override;

  bool has(std::string_view account) const;
  std::optional<std::string> text(std::string_view account) const;
  void put(std::string_view account, std::string_view bytes);
  void putBytes(std::string_view account, SecretBytes bytes);

  bool locked = false;
  bool failWrites = false;
  bool failRemoves = false;
  std::set<std::string> failingAccounts;  // empty: every account

 private:
  bool fails(bool flag, std::string_view account) const;
  std::map<std::string, SecretBytes, std::less<>> items_;
};

// One scripted answer: an HTTP answer, a transport failure, or "hold" (the request
// waits until the test releases it).
struct Hold {};
using Scripted = std::variant<HttpResponse, TransportError, Hold>;

// The server behind the transport port. Each path answers from its script first and
// otherwise from a small model of the real server. Answers are delivered through the
// manual queue after `latency` seconds.
class ScriptedServer final : public HttpTransport {
 public:
  ScriptedServer(ManualQueue& queue, const FakeClock& clock);

  void send(HttpRequest request, Completion done) override;
  void post(std::function<void()> task) override;

  // Queues an answer for the next request whose path (without query) is `path`.
  void script(const std::string& path, Scripted answer);
  void scriptStatus(const std::string& path, int status, std::string body = "{}");
  void scriptNoFill(const std::string& reason);
  void scriptTransportFailure(const std::string& path);
  void scriptHold(const std::string& path);
  // Answers the oldest held request of the path with `answer` (default: the model's).
  void release(const std::string& path, std::optional<Scripted> answer = std::nullopt);
  std::size_t held(const std::string& path) const;

  // Requests received, oldest first.
  std::vector<HttpRequest> requests;
  std::vector<HttpRequest> requestsTo(const std::string& path) const;
  std::size_t count(const std::string& path) const { return requestsTo(path).size(); }

  // The model.
  std::string origin = "https://api.nimbrella.example";
  std::string deviceId = "0f8fad5b-d9cb-469f-a165-70867728950e";
  std::string deviceCode = "Dev1ceCode_0123456789-abcdefghijklmnopqrstu";  // 43 characters
  std::string userCode = "ABCDEF012345";
  std::int64_t pollInterval = 5;
  std::string pollStatus = "approved";
  NetworkMode mode = NetworkMode::live;
  std::int64_t balanceMicros = 0;
  std::int64_t rewardMicros = 1500;
  std::int64_t leaseCounter = 0;
  // Makes the lease the start request answers with; by default a valid ten-second lease.
  std::function<ExposureLease(std::int64_t number)> makeLease;
  std::function<void(const HttpRequest&)> onRequest;
  double latency = 0;

  ExposureLease defaultLease(std::int64_t number) const;
  std::string nowText(double secondsFromNow) const;

 private:
  Scripted model(const HttpRequest& request);
  void deliver(Completion done, Scripted answer);

  ManualQueue& queue_;
  const FakeClock& clock_;
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
  AppModel& build();   // a new controller on the same stores (the old one is dropped)
  AppModel& model() { return *model_; }
  void drop() { model_.reset(); }

  // Advances time in tick-sized steps.
  void advance(double seconds) { queue->advance(seconds); }
  void settle() { queue->runReady(); }

  // Stores a credential and key for the server's device, as after a pairing.
  void storePairing(NetworkMode credentialMode = NetworkMode::live);
  // Consent on, not paused, as a user who opted in.
  void storeConsent(bool consent = true);
  std::string endpointText() const;

  ClientEnvironment environment;
  std::shared_ptr<ManualQueue> queue;
  std::shared_ptr<FakeClock> clock;
  std::shared_ptr<FixedCalendar> calendar;
  std::shared_ptr<InMemoryUserDefaults> defaults;
  std::shared_ptr<LockableSecretStore> secrets;
  std::shared_ptr<ScriptedServer> server;
  std::shared_ptr<RecordingBrowser> browser;
  std::shared_ptr<FakeIdleTime> idle;
  std::shared_ptr<FakeSystemEvents> events;
  std::shared_ptr<FakeLanguages> languages;
  std::shared_ptr<FakeUpdater> updater;
  std::shared_ptr<FakeMonitor> monitor;
  std::shared_ptr<FixedWidthMeasurer> measurer;
  std::vector<std::uint8_t> signingKey;
  int clientsMade = 0;

 private:
  std::unique_ptr<AppModel> model_;
};

// A Monday 10:00 UTC, the default start of every world.
Date defaultStart();

}  // namespace nimbrella::simulation
