#include "controller/support/Simulation.hpp"

#include "SponsorApp/storage/StoredRecords.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"
#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/Snooze.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace nimbrella::simulation {

// ---------------------------------------------------------------------------------
// ManualQueue

struct ManualQueue::Timer {
  double interval = 0;
  std::function<void()> task;
  bool valid = true;
};

namespace {

class TimerHandle final : public RepeatingTimer {
 public:
  explicit TimerHandle(std::shared_ptr<void> timer, std::function<void()> invalidate, std::function<bool()> valid)
      : timer_(std::move(timer)), invalidate_(std::move(invalidate)), valid_(std::move(valid)) {}
  ~TimerHandle() override { invalidate_(); }
  void invalidate() override { invalidate_(); }
  bool isValid() const override { return valid_(); }

 private:
  std::shared_ptr<void> timer_;
  std::function<void()> invalidate_;
  std::function<bool()> valid_;
};

constexpr std::size_t maximumSteps = 50'000'000;

}  // namespace

void ManualQueue::schedule(double due, std::function<void()> task) {
  Task entry{due, order_++, std::move(task)};
  const auto position = std::upper_bound(tasks_.begin(), tasks_.end(), entry, [](const Task& a, const Task& b) {
    return a.due < b.due || (a.due == b.due && a.order < b.order);
  });
  tasks_.insert(position, std::move(entry));
}

void ManualQueue::post(std::function<void()> task) { schedule(now_, std::move(task)); }

void ManualQueue::postAfter(double seconds, std::function<void()> task) {
  schedule(now_ + std::max(0.0, seconds), std::move(task));
}

std::unique_ptr<RepeatingTimer> ManualQueue::scheduleRepeating(double seconds, std::function<void()> task) {
  auto timer = std::make_shared<Timer>();
  timer->interval = seconds;
  timer->task = std::move(task);
  timers_.push_back(timer);

  // Each firing schedules the next one while the timer stays valid.
  auto fire = std::make_shared<std::function<void()>>();
  *fire = [this, weak = std::weak_ptr<Timer>(timer), fire = std::weak_ptr<std::function<void()>>(fire)]() {
    const auto live = weak.lock();
    if (!live || !live->valid) return;
    const auto next = fire.lock();
    if (next) schedule(now_ + live->interval, *next);
    live->task();
  };
  schedule(now_ + seconds, *fire);
  // The firing function lives as long as the timer.
  auto holder = std::make_shared<std::pair<std::shared_ptr<Timer>, std::shared_ptr<std::function<void()>>>>(timer, fire);
  return std::make_unique<TimerHandle>(
      holder, [timer]() { timer->valid = false; }, [timer]() { return timer->valid; });
}

std::size_t ManualQueue::liveTimers() const {
  return static_cast<std::size_t>(std::count_if(timers_.begin(), timers_.end(), [](const auto& weak) {
    const auto timer = weak.lock();
    return timer && timer->valid;
  }));
}

bool ManualQueue::runNextDue(double limit) {
  if (tasks_.empty() || tasks_.front().due > limit) return false;
  Task task = std::move(tasks_.front());
  tasks_.pop_front();
  now_ = std::max(now_, task.due);
  task.run();
  return true;
}

void ManualQueue::runReady() {
  std::size_t steps = 0;
  while (runNextDue(now_)) {
    if (++steps > maximumSteps) throw std::runtime_error("the main queue does not settle");
  }
}

void ManualQueue::advance(double seconds) {
  const double target = now_ + seconds;
  std::size_t steps = 0;
  while (runNextDue(target)) {
    if (++steps > maximumSteps) throw std::runtime_error("the main queue does not settle");
  }
  now_ = std::max(now_, target);
}

// ---------------------------------------------------------------------------------
// Clock, system events, monitor, measurer

FakeClock::FakeClock(const ManualQueue& queue, Date startDate) : start(startDate), queue_(queue) {}

Date FakeClock::now() const {
  return start + wallOffset +
         std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(queue_.now()));
}

double FakeClock::uptime() const { return uptimeOffset + queue_.now(); }

struct FakeSystemEvents::Entry : SystemEventSubscription {
  std::function<void(SystemEvent)> handler;
};

std::unique_ptr<SystemEventSubscription> FakeSystemEvents::subscribe(std::function<void(SystemEvent)> handler) {
  auto shared = std::make_shared<Entry>();
  shared->handler = std::move(handler);
  entries_.push_back(shared);
  struct Subscription final : SystemEventSubscription {
    std::shared_ptr<Entry> entry;
  };
  auto subscription = std::make_unique<Subscription>();
  subscription->entry = shared;
  return subscription;
}

void FakeSystemEvents::fire(SystemEvent event) {
  const auto entries = entries_;
  for (const auto& weak : entries) {
    if (const auto entry = weak.lock()) entry->handler(event);
  }
}

std::size_t FakeSystemEvents::subscribers() const {
  return static_cast<std::size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const auto& weak) { return !weak.expired(); }));
}

EligibilitySnapshot FakeMonitor::snapshot() {
  ++snapshots;
  EligibilitySnapshot result = checks;
  result.contentReady = checks.contentReady && contentReady;
  result.displayAwake = checks.displayAwake && displayAwake;
  result.sessionActive = checks.sessionActive && sessionActive;
  result.controlsClosed = checks.controlsClosed && controlsClosed;
  if (const auto failure = result.failure()) {
    diagnostic = *failure + " No earnings while this is unverified.";
  } else if (diagnostic != passingDiagnostic) {
    diagnostic = passingDiagnostic;
  }
  return result;
}

void FakeMonitor::synchronizeSurface(std::string_view text, bool allowed) {
  if (syncedText != text) syncedText.assign(text);
  syncedAllowed = allowed;
}

Size FixedWidthMeasurer::measure(std::string_view text, const FontSpec&) const {
  std::size_t scalars = 0;
  for (const unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++scalars;
  }
  return {7.0 * static_cast<double>(scalars), 14.0};
}

// ---------------------------------------------------------------------------------
// LockableSecretStore

bool LockableSecretStore::fails(bool flag, std::string_view account) const {
  if (locked) return true;
  if (!flag) return false;
  return failingAccounts.empty() || failingAccounts.contains(std::string(account));
}

SecretStoreLookup LockableSecretStore::copyMatching(std::string_view, std::string_view account) {
  if (locked) return {SecretStoreStatus::failure, std::nullopt};
  const auto found = items_.find(account);
  if (found == items_.end()) return {SecretStoreStatus::itemNotFound, std::nullopt};
  return {SecretStoreStatus::success, found->second};
}

SecretStoreStatus LockableSecretStore::update(std::string_view, std::string_view account,
                                              std::span<const std::uint8_t> data) {
  if (fails(failWrites, account)) return SecretStoreStatus::failure;
  const auto found = items_.find(account);
  if (found == items_.end()) return SecretStoreStatus::itemNotFound;
  found->second.assign(data.begin(), data.end());
  return SecretStoreStatus::success;
}

SecretStoreStatus LockableSecretStore::add(std::string_view, std::string_view account,
                                           std::span<const std::uint8_t> data) {
  if (fails(failWrites, account)) return SecretStoreStatus::failure;
  if (items_.contains(account)) return SecretStoreStatus::failure;
  items_.emplace(std::string(account), SecretBytes(data.begin(), data.end()));
  return SecretStoreStatus::success;
}

SecretStoreStatus LockableSecretStore::remove(std::string_view, std::string_view account) {
  if (fails(failRemoves, account)) return SecretStoreStatus::failure;
  const auto found = items_.find(account);
  if (found == items_.end()) return SecretStoreStatus::itemNotFound;
  items_.erase(found);
  return SecretStoreStatus::success;
}

bool LockableSecretStore::has(std::string_view account) const { return items_.find(account) != items_.end(); }

std::optional<std::string> LockableSecretStore::text(std::string_view account) const {
  const auto found = items_.find(account);
  if (found == items_.end()) return std::nullopt;
  return std::string(found->second.begin(), found->second.end());
}

void LockableSecretStore::put(std::string_view account, std::string_view bytes) {
  putBytes(account, SecretBytes(bytes.begin(), bytes.end()));
}

void LockableSecretStore::putBytes(std::string_view account, SecretBytes bytes) {
  items_.insert_or_assign(std::string(account), std::move(bytes));
}

// ---------------------------------------------------------------------------------
// ScriptedServer

std::string pathOf(const std::string& url) {
  const auto scheme = url.find("://");
  const auto start = scheme == std::string::npos ? 0 : url.find('/', scheme + 3);
  if (start == std::string::npos) return "/";
  const auto end = url.find_first_of("?#", start);
  return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

ScriptedServer::ScriptedServer(ManualQueue& queue, const FakeClock& clock) : queue_(queue), clock_(clock) {}

void ScriptedServer::post(std::function<void()> task) { queue_.post(std::move(task)); }

std::string ScriptedServer::nowText(double secondsFromNow) const {
  return formatInternetDate(clock_.now() + std::chrono::duration_cast<Date::duration>(
                                               std::chrono::duration<double>(secondsFromNow)));
}

ExposureLease ScriptedServer::defaultLease(std::int64_t number) const {
  ExposureLease lease;
  lease.leaseId = "lease-" + std::to_string(number);
  lease.nonce = "nonce-" + std::to_string(number);
  lease.durationMs = 10'000;
  lease.expiresAt = nowText(120);
  lease.creative.advertiserId = "6F1C7A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B";
  lease.creative.category = "software";
  lease.creative.sponsor = "Acme";
  lease.creative.headline = "Acme tools for makers";
  lease.creative.url = "https://acme.example/offer";
  lease.rewardMicros = rewardMicros;
  lease.currency = "EUR";
  lease.mode = mode;
  lease.termsVersion = "brand-v1";
  lease.measurementVersion = "menubar-qualified-10s-v1";
  return lease;
}

Scripted ScriptedServer::model(const HttpRequest& request) {
  const std::string path = pathOf(request.url);
  const auto json = [](int status, const std::string& body) { return HttpResponse{status, {}, body}; };
  if (path == "/api/devices/authorization/start") {
    DeviceAuthorizationStart start{deviceCode, userCode, origin + "/connect?code=" + userCode, nowText(600),
                                   pollInterval, mode};
    return json(200, encodeJson(start));
  }
  if (path == "/api/devices/authorization/poll") {
    DeviceAuthorizationPoll poll;
    poll.status = pollStatus;
    if (pollStatus == "approved") poll.deviceId = deviceId;
    poll.mode = mode;
    return json(200, encodeJson(poll));
  }
  if (path == "/api/devices/me" && request.method == "GET") {
    DeviceResponse me;
    me.deviceId = deviceId;
    me.balanceMicros = balanceMicros;
    me.mode = mode;
    me.earnings = EarningsSummary{balanceMicros, 0, balanceMicros, false, false};
    me.reports = EarningsReport{{EarningsDay(formatInternetDate(clock_.now()).substr(0, 10), balanceMicros)}};
    me.referral = ReferralSummary{0, 0};
    return json(200, encodeJson(me));
  }
  if (path == "/api/devices/me" && request.method == "DELETE") return json(200, "{}");
  if (path == "/api/devices/browser-session") {
    BrowserHandoffResponse answer{std::string(43, 'T'), nowText(60), mode};
    return json(200, encodeJson(answer));
  }
  if (path == "/api/exposures/start") {
    ++leaseCounter;
    const ExposureLease lease = makeLease ? makeLease(leaseCounter) : defaultLease(leaseCounter);
    return json(200, encodeJson(lease));
  }
  if (path == "/api/exposures/complete") {
    balanceMicros += rewardMicros;
    CompleteResponse answer;
    answer.status = "accepted";
    answer.receiptId = "receipt-" + std::to_string(balanceMicros);
    answer.rewardMicros = rewardMicros;
    answer.balanceMicros = balanceMicros;
    return json(200, encodeJson(answer));
  }
  if (path == "/api/exposures/cancel" || path == "/api/exposures/click") return json(200, "{}");
  return json(404, "{}");
}

void ScriptedServer::deliver(Completion done, Scripted answer) {
  if (std::holds_alternative<Hold>(answer)) throw std::logic_error("a held answer cannot be delivered");
  TransportResult result = std::holds_alternative<HttpResponse>(answer)
                               ? TransportResult(std::get<HttpResponse>(std::move(answer)))
                               : TransportResult(std::get<TransportError>(std::move(answer)));
  queue_.postAfter(latency, [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
}

void ScriptedServer::send(HttpRequest request, Completion done) {
  requests.push_back(request);
  if (onRequest) onRequest(request);
  const std::string path = pathOf(request.url);
  auto& script = scripts_[path];
  if (!script.empty()) {
    Scripted answer = std::move(script.front());
    script.pop_front();
    if (std::holds_alternative<Hold>(answer)) {
      held_[path].emplace_back(std::move(request), std::move(done));
      return;
    }
    deliver(std::move(done), std::move(answer));
    return;
  }
  deliver(std::move(done), model(request));
}

void ScriptedServer::script(const std::string& path, Scripted answer) { scripts_[path].push_back(std::move(answer)); }

void ScriptedServer::scriptStatus(const std::string& path, int status, std::string body) {
  script(path, HttpResponse{status, {}, std::move(body)});
}

void ScriptedServer::scriptNoFill(const std::string& reason) {
  script("/api/exposures/start", HttpResponse{204, {HttpHeader{"X-Nimbrella-Reason", reason}}, ""});
}

void ScriptedServer::scriptTransportFailure(const std::string& path) {
  script(path, TransportError{TransportError::Kind::connectionRefused, "Connection refused"});
}

void ScriptedServer::scriptHold(const std::string& path) { script(path, Hold{}); }

void ScriptedServer::release(const std::string& path, std::optional<Scripted> answer) {
  auto& waiting = held_[path];
  if (waiting.empty()) throw std::logic_error("no request held for " + path);
  auto [request, done] = std::move(waiting.front());
  waiting.pop_front();
  deliver(std::move(done), answer ? std::move(*answer) : model(request));
}

std::size_t ScriptedServer::held(const std::string& path) const {
  const auto found = held_.find(path);
  return found == held_.end() ? 0 : found->second.size();
}

std::vector<HttpRequest> ScriptedServer::requestsTo(const std::string& path) const {
  std::vector<HttpRequest> matching;
  for (const auto& request : requests) {
    if (pathOf(request.url) == path) matching.push_back(request);
  }
  return matching;
}

// ---------------------------------------------------------------------------------
// World

Date defaultStart() {
  // 2026-03-02 (a Monday) 10:00:00 UTC.
  return *parseInternetDate("2026-03-02T10:00:00Z");
}

World::World(ClientEnvironment env)
    : environment(env),
      queue(std::make_shared<ManualQueue>()),
      clock(std::make_shared<FakeClock>(*queue, defaultStart())),
      calendar(std::make_shared<FixedCalendar>()),
      defaults(std::make_shared<InMemoryUserDefaults>()),
      secrets(std::make_shared<LockableSecretStore>()),
      server(std::make_shared<ScriptedServer>(*queue, *clock)),
      browser(std::make_shared<RecordingBrowser>()),
      idle(std::make_shared<FakeIdleTime>()),
      events(std::make_shared<FakeSystemEvents>()),
      languages(std::make_shared<FakeLanguages>()),
      updater(std::make_shared<FakeUpdater>()),
      monitor(std::make_shared<FakeMonitor>()),
      measurer(std::make_shared<FixedWidthMeasurer>()) {
  signingKey.resize(32);
  for (std::size_t i = 0; i < signingKey.size(); ++i) signingKey[i] = static_cast<std::uint8_t>(i + 1);
  server->origin = endpointText();
}

std::string World::endpointText() const {
  return endpoint(environment, defaults->text("apiBaseURL")).normalized();
}

AppModelPorts World::ports() {
  AppModelPorts ports;
  ports.queue = queue;
  ports.clock = clock;
  ports.calendar = calendar;
  ports.defaults = defaults;
  ports.secretStore = secrets;
  ports.makeClient = [this](const SafeEndpoint& endpoint) {
    ++clientsMade;
    return std::make_shared<const ApiClient>(endpoint, server);
  };
  ports.browser = browser;
  ports.idleTime = idle;
  ports.systemEvents = events;
  ports.preferredLanguages = languages;
  ports.updater = updater;
  ports.monitor = monitor;
  ports.measurer = measurer;
  ports.environment = environment;
  return ports;
}

AppModel& World::build() {
  model_.reset();
  model_ = std::make_unique<AppModel>(ports());
  return *model_;
}

void World::storePairing(NetworkMode credentialMode) {
  const DeviceCredential credential{endpointText(), server->deviceId, server->deviceCode, credentialMode};
  secrets->putBytes(vaultAccount::deviceCredential, encodeRecord(credential));
  secrets->putBytes(vaultAccount::receiptSigningPrivate, signingKey);
}

void World::storeConsent(bool consent) { defaults->setBoolean("menubarSponsorshipConsentV1", consent); }

}  // namespace nimbrella::simulation
