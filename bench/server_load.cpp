// Load generator for the development server: many devices with their own P-256 keys run
// whole exposures (start, then a signed completion) over HTTP on 127.0.0.1 against a
// server in this process. The server reads a manual clock that the generator moves by
// the lease duration between the two phases of each round, so no round waits 10 s.
//
// Reported per run: completed exposures per second of wall time (both phases, signing
// included), the 50th/99th-percentile latency of start and complete in milliseconds, and
// the processor time per completed exposure (server and clients together).
//
//   bench_server_load --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Clock.hpp"
#include "SponsorServer/DevServer.hpp"
#include "SponsorServer/HttpHost.hpp"
#include "SponsorServer/Store.hpp"

#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace nimbrella;
using namespace nimbrella::server;
using Clock = std::chrono::steady_clock;

std::vector<Campaign> loadCampaigns() {
  std::vector<Campaign> campaigns;
  for (const char* id : {"11111111-1111-4111-8111-111111111111", "22222222-2222-4222-8222-222222222222"}) {
    Campaign campaign;
    campaign.id = id;
    campaign.active = true;
    campaign.termsVersion = "brand-v1";
    campaign.rewardMicros = 2500;
    campaign.creative.advertiserId = "aaaaaaaa-aaaa-4aaa-8aaa-aaaaaaaaaaaa";
    campaign.creative.category = "software";
    campaign.creative.sponsor = "Load";
    campaign.creative.headline = "Load test";
    campaign.creative.body = "Body";
    campaign.creative.cta = "Open";
    campaign.creative.url = "https://load.example/";
    campaigns.push_back(campaign);
  }
  return campaigns;
}

struct Device {
  std::string token;
  ReceiptSigner signer;
  ExposureLease lease;
};

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double mean(const std::vector<double>& values) {
  double sum = 0;
  for (const double value : values) sum += value;
  return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

void BM_ServerLoad(benchmark::State& state) {
  const int deviceCount = static_cast<int>(state.range(0));
  const int clientThreads = static_cast<int>(state.range(1));
  const bool onDisk = state.range(2) != 0;

  std::string dbPath = ":memory:";
  std::filesystem::path dbFolder;
  if (onDisk) {
    dbFolder = std::filesystem::temp_directory_path() /
               ("nimbrella-load-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dbFolder);
    dbPath = (dbFolder / "load.sqlite").string();
  }
  {
    ManualClock clock(*parseInternetDate("2026-03-10T08:00:00Z"));
    Store store(dbPath);
    ServerOptions options;
    options.autoApprove = true;
    DevServer server(store, loadCampaigns(), clock, options);
    HttpHost host(server, clientThreads + 4);
    const int port = host.bind(0);
    server.setOrigin("http://127.0.0.1:" + std::to_string(port));
    if (!host.start()) {
      state.SkipWithError("the server did not start");
      return;
    }

    // Devices connect through the authorization flow (approved at their first poll).
    std::vector<Device> devices(static_cast<std::size_t>(deviceCount));
    {
      httplib::Client client("127.0.0.1", port);
      for (auto& device : devices) {
        auto started = client.Post("/api/devices/authorization/start",
                                   encodeJson(requests::AuthorizationStart{"My Mac", device.signer.publicKey()}),
                                   "application/json");
        if (!started || started->status != 200) throw std::runtime_error("authorization failed");
        device.token = decodeJson<DeviceAuthorizationStart>(started->body).deviceCode;
        auto polled = client.Get("/api/devices/authorization/poll",
                                 {{"Authorization", "Bearer " + device.token}});
        if (!polled || decodeJson<DeviceAuthorizationPoll>(polled->body).status != "approved") {
          throw std::runtime_error("approval failed");
        }
      }
    }

    requests::ExposureStart start;
    start.placement = "menubar-v1";
    start.preferences.allowedCategories = {"business", "creativity", "education",
                                           "lifestyle", "other", "software"};
    const std::string startBody = encodeJson(start);

    std::vector<double> startLatencies;
    std::vector<double> completeLatencies;
    std::int64_t completions = 0;
    double seconds = 0;
    double cpuSeconds = 0;
    std::atomic<int> failures{0};

    for (auto _ : state) {
      std::vector<std::vector<double>> starts(static_cast<std::size_t>(clientThreads));
      std::vector<std::vector<double>> completes(static_cast<std::size_t>(clientThreads));
      std::atomic<std::int64_t> accepted{0};
      // Phase one: every device starts a lease. Then the clock moves past the duration.
      // Phase two: every device signs and sends its completion.
      std::barrier phase(clientThreads, [&clock]() noexcept { clock.advance(std::chrono::seconds(10)); });
      const auto begin = Clock::now();
      const double cpuBegin = processCpuSeconds();
      std::vector<std::thread> threads;
      for (int t = 0; t < clientThreads; ++t) {
        threads.emplace_back([&, t] {
          httplib::Client client("127.0.0.1", port);
          client.set_keep_alive(true);
          client.set_tcp_nodelay(true);
          for (std::size_t i = static_cast<std::size_t>(t); i < devices.size();
               i += static_cast<std::size_t>(clientThreads)) {
            const auto sent = Clock::now();
            auto result = client.Post("/api/exposures/start",
                                      {{"Authorization", "Bearer " + devices[i].token}}, startBody,
                                      "application/json");
            starts[static_cast<std::size_t>(t)].push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            if (!result || result->status != 200) {
              failures.fetch_add(1);
              continue;
            }
            devices[i].lease = decodeJson<ExposureLease>(result->body);
          }
          phase.arrive_and_wait();
          for (std::size_t i = static_cast<std::size_t>(t); i < devices.size();
               i += static_cast<std::size_t>(clientThreads)) {
            const auto& lease = devices[i].lease;
            const std::string body = encodeJson(
                CompleteRequest::make(lease.leaseId, lease.nonce, lease.durationMs, devices[i].signer));
            const auto sent = Clock::now();
            auto result = client.Post("/api/exposures/complete",
                                      {{"Authorization", "Bearer " + devices[i].token}}, body,
                                      "application/json");
            completes[static_cast<std::size_t>(t)].push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            if (result && result->status == 200 &&
                decodeJson<CompleteResponse>(result->body).status == "accepted") {
              accepted.fetch_add(1);
            } else {
              failures.fetch_add(1);
            }
          }
        });
      }
      for (auto& thread : threads) thread.join();
      const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
      cpuSeconds += processCpuSeconds() - cpuBegin;
      state.SetIterationTime(elapsed);
      seconds += elapsed;
      completions += accepted.load();
      for (auto& list : starts) startLatencies.insert(startLatencies.end(), list.begin(), list.end());
      for (auto& list : completes) {
        completeLatencies.insert(completeLatencies.end(), list.begin(), list.end());
      }
      // Leases of the next round are issued a minute later, past any grace period.
      clock.advance(std::chrono::minutes(1));
    }
    host.stop();

    if (failures.load() > 0) {
      state.SkipWithError("some exposures were not accepted");
      return;
    }
    state.counters["completions_per_s"] = static_cast<double>(completions) / seconds;
    // Processor time of server and clients together per completed exposure: what the
    // rate would be bounded by on an otherwise idle machine (cores / this figure).
    state.counters["cpu_us_per_completion"] = cpuSeconds * 1e6 / static_cast<double>(completions);
    state.counters["start_mean_ms"] = mean(startLatencies);
    state.counters["complete_mean_ms"] = mean(completeLatencies);
    state.counters["start_p50_ms"] = percentile(startLatencies, 0.50);
    state.counters["start_p99_ms"] = percentile(startLatencies, 0.99);
    state.counters["complete_p50_ms"] = percentile(completeLatencies, 0.50);
    state.counters["complete_p99_ms"] = percentile(completeLatencies, 0.99);
  }
  if (onDisk) std::filesystem::remove_all(dbFolder);
}

// Arguments: devices, client threads, database on disk (1) or in memory (0).
BENCHMARK(BM_ServerLoad)
    ->Args({500, 8, 0})
    ->Args({500, 8, 1})
    ->Iterations(4)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
