#include "controller/support/Simulation.hpp"

#include "core/FixedMeasurer.hpp"

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
struct TimerHandle final : RepeatingTimer {
  explicit TimerHandle(std::shared_ptr<bool> on) : live(std::move(on)) {}
  ~TimerHandle() override { *live = false; }
  void invalidate() override { *live = false; }
  bool isValid() const override { return *live; }
  std::shared_ptr<bool> live;
};

}  // namespace

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
  repeat(seconds, live, std::make_shared<std::function<void()>>(std::move(task)));
  return std::make_unique<TimerHandle>(std::move(live));
}

void ManualQueue::advance(double seconds) {
  const double target = now_ + seconds;
  for (std::size_t steps = 0; !tasks_.empty() && tasks_.begin()->first <= target; ++steps) {
    if (steps > 50'000'000) throw std::runtime_error("the main queue does not settle");
    auto task = tasks_.extract(tasks_.begin());
    now_ = std::max(now_, task.key());
    task.mapped()();
  }
  now_ = std::max(now_, target);
}

// ---------------------------------------------------------------------------------
// Clock and secret store

Date FakeClock::now() const {
  return start_ + wallOffset + std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(queue_.now()));
}

SecretStoreLookup LockableSecretStore::copyMatching(std::string_view, std::string_view account) {
  if (fails(failReads, account)) return {SecretStoreStatus::failure, std::nullopt};
  if (!has(account)) return {SecretStoreStatus::itemNotFound, std::nullopt};
  return {SecretStoreStatus::success, items_.find(account)->second};
}

SecretStoreStatus LockableSecretStore::update(std::string_view, std::string_view account, std::span<const std::uint8_t> data) {
  if (fails(failWrites, account)) return SecretStoreStatus::failure;
  if (!has(account)) return SecretStoreStatus::itemNotFound;
  putBytes(account, SecretBytes(data.begin(), data.end()));
  return SecretStoreStatus::success;
}

SecretStoreStatus LockableSecretStore::add(std::string_view, std::string_view account, std::span<const std::uint8_t> data) {
  if (fails(failWrites, account) || has(account)) return SecretStoreStatus::failure;
  putBytes(account, SecretBytes(data.begin(), data.end()));
  return SecretStoreStatus::success;
}

SecretStoreStatus LockableSecretStore::remove(std::string_view, std::string_view account) {
  if (fails(failRemoves, account)) return SecretStoreStatus::failure;
  if (!has(account)) return SecretStoreStatus::itemNotFound;
  items_.erase(items_.find(account));
  return SecretStoreStatus::success;
}

std::optional<std::string> LockableSecretStore::text(std::string_view account) const {
  if (!has(account)) return std::nullopt;
  const SecretBytes& bytes = items_.find(account)->second;
  return std::string(bytes.begin(), bytes.end());
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
  const auto ok = [](const auto& record) { return HttpResponse{200, {}, encodeJson(record)}; };
  if (path == "/api/devices/authorization/start") {
    return ok(DeviceAuthorizationStart{deviceCode, userCode, origin + "/connect?code=" + userCode, nowText(600), 5, mode});
  }
  if (path == "/api/devices/authorization/poll") {
    DeviceAuthorizationPoll poll{pollStatus, {}, {}, {}, mode};
    if (pollStatus == "approved") poll.deviceId = deviceId;
    return ok(poll);
  }
  if (path == "/api/devices/me" && request.method == "GET") {
    return ok(DeviceResponse{
        .referral = ReferralSummary{0, 0}, .deviceId = deviceId, .balanceMicros = balanceMicros, .mode = mode,
        .earnings = EarningsSummary{balanceMicros, 0, balanceMicros, false, false},
        .reports = EarningsReport{{EarningsDay(formatInternetDate(clock_.now()).substr(0, 10), balanceMicros)}}});
  }
  if (path == "/api/devices/browser-session") return ok(BrowserHandoffResponse{std::string(43, 'T'), nowText(60), mode});
  if (path == "/api/exposures/start") {
    ++leaseCounter_;
    return ok(makeLease ? makeLease(leaseCounter_) : defaultLease(leaseCounter_));
  }
  if (path == "/api/exposures/complete") {
    balanceMicros += rewardMicros;
    return ok(CompleteResponse{"accepted", {}, "receipt-" + std::to_string(balanceMicros), rewardMicros, balanceMicros});
  }
  // Revocation (DELETE of /api/devices/me), cancel and click.
  return HttpResponse{200, {}, "{}"};
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
  Scripted answer = script.empty() ? model(request) : std::move(script.front());
  if (!script.empty()) script.pop_front();
  if (std::holds_alternative<Hold>(answer)) {
    held_[path].emplace_back(std::move(request), std::move(done));
  } else {
    deliver(std::move(done), std::move(answer));
  }
}

void ScriptedServer::release(const std::string& path, std::optional<Scripted> answer) {
  auto& waiting = held_[path];
  if (waiting.empty()) throw std::logic_error("no request held for " + path);
  auto [request, done] = std::move(waiting.front());
  waiting.pop_front();
  deliver(std::move(done), answer ? std::move(*answer) : model(request));
}

std::vector<HttpRequest> ScriptedServer::requestsTo(const std::string& path) const {
  std::vector<HttpRequest> matching;
  for (const HttpRequest& request : requests) {
    if (pathOf(request.url) == path) matching.push_back(request);
  }
  return matching;
}

// ---------------------------------------------------------------------------------
// World

World::World(ClientEnvironment env)
    : environment(env),
      // 2026-03-02, a Monday, 10:00 UTC.
      clock(std::make_shared<FakeClock>(*queue, *parseInternetDate("2026-03-02T10:00:00Z"))),
      server(std::make_shared<ScriptedServer>(*queue, *clock)) {
  for (std::uint8_t i = 1; i <= 32; ++i) signingKey.push_back(i);
  server->origin = endpointText();
}

std::string World::endpointText() const { return endpoint(environment, defaults->text("apiBaseURL")).normalized(); }

AppModelPorts World::ports() {
  return {.queue = queue, .clock = clock, .calendar = calendar, .defaults = defaults, .secretStore = secrets,
          .makeClient = [this](const SafeEndpoint& e) { return std::make_shared<const ApiClient>(e, server); },
          .browser = browser, .idleTime = idle, .systemEvents = events, .preferredLanguages = languages,
          .updater = updater, .monitor = monitor, .measurer = std::make_shared<fixtures::FixedMeasurer>(),
          .makePreferencesWindow = [this](AppModel&) { ++preferencesWindowsMade; return preferencesWindow; },
          .environment = environment};
}

AppModel& World::build() {
  model_.reset();
  model_ = std::make_unique<AppModel>(ports());
  return *model_;
}

void World::storePairing(NetworkMode credentialMode, std::string origin) {
  const DeviceCredential credential{origin.empty() ? endpointText() : origin, server->deviceId, server->deviceCode,
                                    credentialMode};
  secrets->putBytes(vaultAccount::deviceCredential, encodeRecord(credential));
  secrets->putBytes(vaultAccount::receiptSigningPrivate, signingKey);
}

}  // namespace nimbrella::simulation
