#include "controller/support/Simulation.hpp"

#include "SponsorApp/storage/StoredRecords.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"
#include "SponsorCore/InternetDate.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace nimbrella::simulation {

// ---------------------------------------------------------------------------------
// ManualQueue

namespace {

// The handle of a repeating timer; the firings scheduled on the queue share `live`.
class TimerHandle final : public RepeatingTimer {
 public:
  explicit TimerHandle(std::shared_ptr<bool> live) : live_(std::move(live)) {}
  ~TimerHandle() override { *live_ = false; }
  void invalidate() override { *live_ = false; }
  bool isValid() const override { return *live_; }

 private:
  std::shared_ptr<bool> live_;
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

void ManualQueue::postAfter(double seconds, std::function<void()> task) {
  schedule(now_ + std::max(0.0, seconds), std::move(task));
}

// Each firing schedules the next one before it runs, while the timer is live.
void ManualQueue::repeat(double interval, std::shared_ptr<bool> live, std::shared_ptr<std::function<void()>> task) {
  schedule(now_ + interval, [this, interval, live, task] {
    if (!*live) return;
    repeat(interval, live, task);
    (*task)();
  });
}

std::unique_ptr<RepeatingTimer> ManualQueue::scheduleRepeating(double seconds, std::function<void()> task) {
  auto live = std::make_shared<bool>(true);
  timers_.push_back(live);
  repeat(seconds, live, std::make_shared<std::function<void()>>(std::move(task)));
  return std::make_unique<TimerHandle>(std::move(live));
}

std::size_t ManualQueue::liveTimers() const {
  return static_cast<std::size_t>(std::count_if(timers_.begin(), timers_.end(), [](const auto& on) { return *on; }));
}

void ManualQueue::advance(double seconds) {
  const double target = now_ + seconds;
  for (std::size_t steps = 0; !tasks_.empty() && tasks_.front().due <= target; ++steps) {
    if (steps > maximumSteps) throw std::runtime_error("the main queue does not settle");
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    now_ = std::max(now_, task.due);
    task.run();
  }
  now_ = std::max(now_, target);
}

// ---------------------------------------------------------------------------------
// Clock, system events, monitor, measurer

Date FakeClock::now() const {
  return start + wallOffset +
         std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(queue_.now()));
}

std::unique_ptr<SystemEventSubscription> FakeSystemEvents::subscribe(Handler handler) {
  struct Subscription final : SystemEventSubscription {
    std::shared_ptr<Handler> handler;
  };
  auto subscription = std::make_unique<Subscription>();
  subscription->handler = std::make_shared<Handler>(std::move(handler));
  handlers.push_back(subscription->handler);
  return subscription;
}

void FakeSystemEvents::fire(SystemEvent event) {
  for (const auto& weak : std::vector(handlers)) {
    if (const auto handler = weak.lock()) (*handler)(event);
  }
}

std::size_t FakeSystemEvents::subscribers() const {
  return static_cast<std::size_t>(
      std::count_if(handlers.begin(), handlers.end(), [](const auto& weak) { return !weak.expired(); }));
}

EligibilitySnapshot FakeMonitor::snapshot() {
  ++snapshots;
  EligibilitySnapshot result = checks;
  result.contentReady = checks.contentReady && contentReady;
  result.displayAwake = checks.displayAwake && displayAwake;
  result.sessionActive = checks.sessionActive && sessionActive;
  result.controlsClosed = checks.controlsClosed && controlsClosed;
  const auto failure = result.failure();
  diagnostic = failure ? *failure + " No earnings while this is unverified."
                       : "Own slot bounds and nine hit-test points pass. This does not prove human attention or "
                         "every pixel.";
  return result;
}

Size FixedWidthMeasurer::measure(std::string_view text, const FontSpec&) const {
  const auto scalars = std::count_if(text.begin(), text.end(), [](unsigned char c) { return (c & 0xC0) != 0x80; });
  return {7.0 * static_cast<double>(scalars), 14.0};
}

// ---------------------------------------------------------------------------------
// LockableSecretStore

SecretStoreLookup LockableSecretStore::copyMatching(std::string_view, std::string_view account) {
  if (fails(failReads, account)) return {SecretStoreStatus::failure, std::nullopt};
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
  if (fails(failWrites, account) || has(account)) return SecretStoreStatus::failure;
  putBytes(account, SecretBytes(data.begin(), data.end()));
  return SecretStoreStatus::success;
}

SecretStoreStatus LockableSecretStore::remove(std::string_view, std::string_view account) {
  if (fails(failRemoves, account)) return SecretStoreStatus::failure;
  const auto found = items_.find(account);
  if (found == items_.end()) return SecretStoreStatus::itemNotFound;
  items_.erase(found);
  return SecretStoreStatus::success;
}

std::optional<std::string> LockableSecretStore::text(std::string_view account) const {
  const auto found = items_.find(account);
  if (found == items_.end()) return std::nullopt;
  return std::string(found->second.begin(), found->second.end());
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
  queue_.post([done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
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
      clock(std::make_shared<FakeClock>(*queue, defaultStart())),
      server(std::make_shared<ScriptedServer>(*queue, *clock)) {
  for (std::uint8_t i = 1; i <= 32; ++i) signingKey.push_back(i);
  server->origin = endpointText();
}

std::string World::endpointText() const {
  return endpoint(environment, defaults->text("apiBaseURL")).normalized();
}

AppModelPorts World::ports() {
  return {.queue = queue, .clock = clock, .calendar = calendar, .defaults = defaults, .secretStore = secrets,
          .makeClient = [this](const SafeEndpoint& e) { return std::make_shared<const ApiClient>(e, server); },
          .browser = browser, .idleTime = idle, .systemEvents = events, .preferredLanguages = languages,
          .updater = updater, .monitor = monitor, .measurer = measurer,
          .makePreferencesWindow =
              [this](AppModel&) {
                ++preferencesWindowsMade;
                return preferencesWindow;
              },
          .environment = environment};
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
