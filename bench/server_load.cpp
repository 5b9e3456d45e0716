// Load measurement of the real nimbrella-devserver program over loopback. It prepares a
// database (devices, one device with 100,000 past exposures, late leases to complete),
// starts the program on it and measures, on kept-alive connections:
//
//   - confirmed exposures per second and p50/p99 of start and complete with 1, 8, 32 and
//     128 concurrent clients, each cycling through its own devices (a lease is completed
//     once its 10 s have passed on the wall clock);
//   - 48 devices pacing like the application (start, 10 s, complete);
//   - start and complete latency of the device with 100,000 past exposures against a new
//     device;
//   - latency of a normal request while 200 slow connections send a byte a second;
//   - the server's resident memory once all devices are in its database;
//   - for each throughput row, the processor time that the server and the load together
//     spend per exposure, and the rate that would keep every core of the machine busy.
//
//   bench_server_load [--devserver PATH] [--seconds N] [--clients N]
//
// --clients measures only the throughput row with that many clients.

#include "SponsorServer/Crypto.hpp"
#include "SponsorServer/Store.hpp"

#include "SponsorCore/Json.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include "bench/ProcessTime.hpp"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace nimbrella;
using namespace nimbrella::server;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string campaignId = "11111111-1111-4111-8111-111111111111";
constexpr auto leaseWait = 10050ms;

// Processor seconds and context switches of every thread of a process.
struct Usage {
  double seconds = 0;
  double switches = 0;
  Usage operator-(const Usage& before) const { return {seconds - before.seconds, switches - before.switches}; }
};

Usage usage(pid_t pid) {
  Usage total;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream schedstat(task.path() / "schedstat");
    double nanoseconds = 0;
    if (schedstat >> nanoseconds) total.seconds += nanoseconds / 1e9;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) total.switches += std::stod(line.substr(line.find(':') + 1));
    }
  }
  return total;
}

struct Latencies {
  std::mutex mutex;
  std::vector<double> start, complete;
  void add(std::vector<double>& into, double ms) {
    std::lock_guard lock(mutex);
    into.push_back(ms);
  }
};

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())))];
}

double since(Steady::time_point from) {
  return std::chrono::duration<double, std::milli>(Steady::now() - from).count();
}

std::string deviceToken(int index) {
  std::string token = "bench" + std::to_string(index);
  token.resize(43, '_');
  return token;
}

void writeCampaigns(const std::string& path) {
  std::ofstream(path) << R"({"campaigns":[{"id":")" << campaignId
                      << R"(","active":true,"termsVersion":"brand-v1","rewardMicros":2500,"creative":{)"
                      << R"("advertiserId":"aaaaaaaa-aaaa-4aaa-8aaa-aaaaaaaaaaaa","category":"software",)"
                      << R"("sponsor":"Load","headline":"Load test","body":"Body","cta":"Open",)"
                      << R"("url":"https://load.example/","menuTagline":"Load","accentColor":"#336699"}}]})";
}

// Devices 0..count-1 with one key; device 0 has `history` completed exposures, and
// devices 0 and 1 have `late` open leases issued an hour ago, past their expiry.
void prepareDatabase(const std::string& path, const ReceiptSigner& signer, int count, int history, int late) {
  Store store(path);
  const auto fingerprint = p256KeyFingerprint(signer.publicKey()).value();
  const std::int64_t nowMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  store.transaction([&](StoreSession& session) {
    for (int i = 0; i < count; ++i) {
      DeviceRow device;
      device.deviceId = "device-" + std::to_string(i);
      device.token = deviceToken(i);
      device.publicKey = signer.publicKey();
      device.fingerprint = fingerprint;
      device.name = "Bench";
      device.createdMs = nowMs - 30LL * 86400000;
      session.insertDevice(device);
    }
    const auto lease = [&](int device, const std::string& id, std::int64_t issued) {
      LeaseRow row;
      row.leaseId = id;
      row.deviceId = "device-" + std::to_string(device);
      row.campaignId = campaignId;
      row.nonce = "nonce-" + id;
      row.durationMs = 10000;
      row.rewardMicros = 2500;
      row.termsVersion = "brand-v1";
      row.issuedMs = issued;
      row.expiresMs = issued + 70000;
      session.insertLease(row);
      return row;
    };
    for (int i = 0; i < history; ++i) {
      // Spread over the last 20 days, the newest older than the campaign's rules look.
      const std::int64_t issued = nowMs - 2 * 3600000 - static_cast<std::int64_t>(i) * 17000;
      LeaseRow row = lease(0, "past-" + std::to_string(i), issued);
      row.state = LeaseState::completed;
      row.closedMs = issued + 10000;
      row.receiptId = "receipt-past-" + std::to_string(i);
      row.balanceAfter = 0;
      session.closeLease(row);
      session.insertReceipt(*row.receiptId, row, "2000-01-01", issued + 10000);
    }
    for (int device = 0; device < 2; ++device) {
      for (int i = 0; i < late; ++i) lease(device, "late-" + std::to_string(device) + "-" + std::to_string(i), nowMs - 3600000);
    }
  });
}

struct Server {
  pid_t pid = -1;
  int port = 0;
  Server(const std::string& program, const std::string& db, const std::string& campaigns) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::execl(program.c_str(), program.c_str(), "--port", "0", "--db", db.c_str(), "--campaigns",
              campaigns.c_str(), static_cast<char*>(nullptr));
      std::_Exit(127);
    }
    ::close(out[1]);
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    const auto colon = line.rfind(':');
    if (colon == std::string::npos) throw std::runtime_error("the server did not start: " + line);
    port = std::stoi(line.substr(colon + 1));
  }
  ~Server() {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
  long rssKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (status >> key) {
      if (key == "VmRSS:") return status >> value, value;
    }
    return 0;
  }
};

struct Client {
  httplib::Client http;
  explicit Client(int port) : http("127.0.0.1", port) {
    http.set_keep_alive(true);
    http.set_tcp_nodelay(true);  // the request head and body leave in separate writes
    http.set_read_timeout(30, 0);
  }
  std::optional<ExposureLease> start(int device, Latencies* latencies = nullptr) {
    static const std::string body = [] {
      requests::ExposureStart start;
      start.placement = "menubar-v1";
      start.preferences.allowedCategories = {"software"};
      return encodeJson(start);
    }();
    const auto began = Steady::now();
    auto result = http.Post("/api/exposures/start", {{"Authorization", "Bearer " + deviceToken(device)}}, body,
                            "application/json");
    if (latencies) latencies->add(latencies->start, since(began));
    if (!result || result->status != 200) return std::nullopt;
    return decodeJson<ExposureLease>(result->body);
  }
  bool complete(int device, const std::string& leaseId, const std::string& nonce, const ReceiptSigner& signer,
                Latencies* latencies = nullptr) {
    const std::string body = encodeJson(CompleteRequest::make(leaseId, nonce, 10000, signer));
    const auto began = Steady::now();
    auto result = http.Post("/api/exposures/complete", {{"Authorization", "Bearer " + deviceToken(device)}}, body,
                            "application/json");
    if (latencies) latencies->add(latencies->complete, since(began));
    return result && result->status == 200 && decodeJson<CompleteResponse>(result->body).status == "accepted";
  }
};

void report(const std::string& name, double rate, Latencies& latencies) {
  std::printf("%-34s %9.1f exp/s  start p50 %6.2f p99 %6.2f ms  complete p50 %6.2f p99 %6.2f ms\n", name.c_str(),
              rate, percentile(latencies.start, 0.5), percentile(latencies.start, 0.99),
              percentile(latencies.complete, 0.5), percentile(latencies.complete, 0.99));
}

// Clients cycle through their own devices: complete a lease once its 10 s are over, then
// start the device again; a new device is started whenever none is ready.
void throughput(int port, pid_t server, const ReceiptSigner& signer, int clients, int firstDevice,
                int devicesPerClient, double seconds) {
  Latencies latencies;
  std::atomic<long> confirmed{0};
  const auto began = Steady::now();
  const auto measureFrom = began + leaseWait + 500ms;
  const auto end = measureFrom + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      Client client(port);
      struct Open { int device; ExposureLease lease; Steady::time_point at; };
      std::deque<Open> open;
      int next = firstDevice + c * devicesPerClient;
      const int last = next + devicesPerClient;
      while (Steady::now() < end) {
        const bool ready = !open.empty() && Steady::now() - open.front().at >= leaseWait;
        if (!ready && next == last) {
          if (open.empty()) return;
          std::this_thread::sleep_until(open.front().at + leaseWait);
          continue;
        }
        const bool measuring = Steady::now() >= measureFrom;
        int device = next;
        if (ready) {
          Open done = open.front();
          open.pop_front();
          device = done.device;
          if (client.complete(device, done.lease.leaseId, done.lease.nonce, signer, measuring ? &latencies : nullptr) &&
              measuring && Steady::now() < end) {
            confirmed.fetch_add(1);
          }
        } else {
          ++next;
        }
        if (auto lease = client.start(device, measuring ? &latencies : nullptr)) {
          open.push_back({device, *lease, Steady::now()});
        }
      }
    });
  }
  // What the server and the load itself spend of the two cores while measured.
  std::this_thread::sleep_until(measureFrom);
  const Usage serverBefore = usage(server);
  const double clientsBefore = bench::processSeconds();
  std::this_thread::sleep_until(end);
  const Usage serverUse = usage(server) - serverBefore;
  const double clientsSeconds = bench::processSeconds() - clientsBefore;
  for (auto& thread : threads) thread.join();
  report(std::to_string(clients) + " clients, kept alive", static_cast<double>(confirmed) / seconds, latencies);
  const double exposures = std::max(1.0, static_cast<double>(confirmed));
  std::printf("%34s server %.0f%% of a core (%.0f us and %.1f context switches per exposure), clients %.0f%%\n", "",
              100 * serverUse.seconds / seconds, 1e6 * serverUse.seconds / exposures, serverUse.switches / exposures,
              100 * clientsSeconds / seconds);
  // Server and load share the machine: the rate at which their processor time per
  // exposure would take every core, with nothing idle, bounds what this machine can show.
  const double perExposure = (serverUse.seconds + clientsSeconds) / exposures;
  const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
  std::printf("%34s together %.0f us per exposure: at most %.0f exp/s with all %u cores busy\n", "",
              1e6 * perExposure, cores / perExposure, cores);
}

void paced(int port, const ReceiptSigner& signer, int firstDevice, double seconds) {
  Latencies latencies;
  std::atomic<long> asked{0}, confirmed{0};
  const auto end = Steady::now() + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int d = 0; d < 48; ++d) {
    threads.emplace_back([&, d] {
      Client client(port);
      while (Steady::now() + leaseWait < end) {
        const auto lease = client.start(firstDevice + d, &latencies);
        if (!lease) continue;
        std::this_thread::sleep_for(leaseWait);
        asked.fetch_add(1);
        if (client.complete(firstDevice + d, lease->leaseId, lease->nonce, signer, &latencies)) confirmed.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  report("48 paced devices", static_cast<double>(confirmed) / seconds, latencies);
  std::printf("%-34s %ld of %ld asked exposures confirmed\n", "", confirmed.load(), asked.load());
}

void history(int port, const ReceiptSigner& signer, int late) {
  for (int device = 0; device < 2; ++device) {
    Latencies latencies;
    Client client(port);
    for (int i = 0; i < late; ++i) {
      if (auto lease = client.start(device, &latencies)) {
        client.http.Post("/api/exposures/cancel", {{"Authorization", "Bearer " + deviceToken(device)}},
                         encodeJson(requests::Cancel{lease->leaseId}), "application/json");
      }
      const std::string id = "late-" + std::to_string(device) + "-" + std::to_string(i);
      if (!client.complete(device, id, "nonce-" + id, signer, &latencies)) std::puts("late receipt refused");
    }
    report(device == 0 ? "device with 100,000 exposures" : "new device", 0, latencies);
  }
}

void slowClients(int port, int device) {
  std::atomic<bool> stop{false};
  std::vector<int> sockets;
  for (int i = 0; i < 200; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) sockets.push_back(fd);
  }
  std::thread dripper([&] {
    const std::string head = "POST /api/exposures/start HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    for (std::size_t i = 0; !stop; ++i) {
      for (const int fd : sockets) ::send(fd, &head[i % head.size()], 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(1s);
    }
  });
  std::this_thread::sleep_for(2s);
  Client client(port);
  std::vector<double> latency;
  for (int i = 0; i < 300; ++i) {
    const auto began = Steady::now();
    client.http.Get("/api/devices/me", {{"Authorization", "Bearer " + deviceToken(device)}});
    latency.push_back(since(began));
    std::this_thread::sleep_for(10ms);
  }
  stop = true;
  dripper.join();
  for (const int fd : sockets) ::close(fd);
  std::printf("%-34s GET /api/devices/me p50 %6.2f p99 %6.2f max %6.2f ms\n", "200 slow connections",
              percentile(latency, 0.5), percentile(latency, 0.99), *std::max_element(latency.begin(), latency.end()));
}

}  // namespace

int main(int argc, char** argv) {
  std::string program = NIMBRELLA_DEVSERVER_PATH;
  double seconds = 10;
  int only = 0;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--devserver") program = argv[++i];
    else if (std::string(argv[i]) == "--seconds") seconds = std::stod(argv[++i]);
    else if (std::string(argv[i]) == "--clients") only = std::stoi(argv[++i]);
  }
  const auto folder = std::filesystem::temp_directory_path() / ("nimbrella-load-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string db = (folder / "load.sqlite").string(), campaigns = (folder / "campaigns.json").string();
  writeCampaigns(campaigns);
  const ReceiptSigner signer;
  constexpr int late = 300;
  // Devices per client at each client count. A device is started again only once its
  // lease is over, so they bound the rate a row can reach to devices / 10 s: about 1,000
  // exposures a second for one client and 3,200 for the others, well above the rates to
  // show.
  std::vector<std::pair<int, int>> runs = {{1, 10000}, {8, 4000}, {32, 1000}, {128, 250}};
  if (only > 0) runs = {{only, 32000 / only + 1}};
  int devices = 2 + 48 + 1;
  for (const auto& [clients, each] : runs) devices += clients * each;
  const auto prepared = Steady::now();
  prepareDatabase(db, signer, devices, 100000, late);
  std::printf("prepared %d devices and 100,000 past exposures in %.1f s\n", devices, since(prepared) / 1000);
  {
    Server server(program, db, campaigns);
    std::printf("server RSS at start: %ld KiB\n", server.rssKiB());
    int first = 2;
    if (only == 0) {
      history(server.port, signer, late);
      slowClients(server.port, 1);
      paced(server.port, signer, first, 3 * seconds + 2);
    }
    first += 48;
    for (const auto& [clients, each] : runs) {
      throughput(server.port, server.pid, signer, clients, first, each, seconds);
      first += clients * each;
    }
    std::printf("server RSS after %d devices: %ld KiB\n", devices, server.rssKiB());
  }
  std::filesystem::remove_all(folder);
}
