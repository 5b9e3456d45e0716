// The Qt Network transport against real servers on 127.0.0.1.

#include "SponsorApp/linux/QtHttpTransport.hpp"
#include "SponsorApp/network/ApiClient.hpp"
#include "client/LocalServer.hpp"
#include "client/QtLoop.hpp"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>

namespace nimbrella {
namespace {

using namespace std::chrono_literals;
using testing::LocalServer;
using testing::RawSocket;
using testing::runUntil;

const auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment);

constexpr std::size_t kLimit = 256'000;

HttpRequest get(const std::string& url) {
  HttpRequest request;
  request.url = url;
  request.method = "GET";
  request.maxResponseBodyBytes = kLimit;
  return request;
}

TransportResult sendAndWait(HttpTransport& transport, HttpRequest request, std::chrono::milliseconds limit = 20s) {
  std::optional<TransportResult> result;
  transport.send(std::move(request), [&](TransportResult r) { result = std::move(r); });
  EXPECT_FALSE(result.has_value()) << "delivered from inside send()";
  EXPECT_TRUE(runUntil([&] { return result.has_value(); }, limit)) << "no result in time";
  return result ? std::move(*result) : TransportResult(TransportError{TransportError::Kind::other, "no result"});
}

const HttpResponse& response(const TransportResult& result) {
  static const HttpResponse none;
  if (const auto* error = std::get_if<TransportError>(&result)) {
    ADD_FAILURE() << "transport error: " << error->description;
    return none;
  }
  return std::get<HttpResponse>(result);
}

const TransportError& transportError(const TransportResult& result) {
  static const TransportError none{};
  if (std::holds_alternative<HttpResponse>(result)) {
    ADD_FAILURE() << "unexpected HTTP answer " << std::get<HttpResponse>(result).status;
    return none;
  }
  return std::get<TransportError>(result);
}

// What a handler saw of one request.
struct Seen {
  std::mutex mutex;
  std::vector<httplib::Headers> headers;
  std::vector<std::string> methods;
  std::vector<std::string> bodies;

  void record(const httplib::Request& request) {
    std::lock_guard lock(mutex);
    headers.push_back(request.headers);
    methods.push_back(request.method);
    bodies.push_back(request.body);
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return headers.size();
  }
};

TEST(QtHttpTransport, SendsExactlyTheGivenHeadersAndBodyAndNoLocale) {
  Seen seen;
  LocalServer server;
  server->Post("/echo", [&](const httplib::Request& request, httplib::Response& answer) {
    seen.record(request);
    answer.status = 201;
    answer.set_header("X-Nimbrella-Reason", "cooldown");
    answer.set_content(R"({"ok":true})", "application/json");
  });
  server->Get("/plain", [&](const httplib::Request& request, httplib::Response& answer) {
    seen.record(request);
    answer.set_content("", "application/json");
  });
  server.start();

  QtHttpTransport transport;
  HttpRequest request = get(server.origin() + "/echo");
  request.method = "POST";
  request.headers = {{"Accept", "application/json"}, {"Authorization", "Bearer abc"}, {"Content-Type", "application/json"}};
  request.body = R"({"a":1})";
  const TransportResult result = sendAndWait(transport, request);
  const HttpResponse& answer = response(result);
  EXPECT_EQ(answer.status, 201);
  EXPECT_EQ(answer.body, R"({"ok":true})");
  EXPECT_EQ(answer.header("x-nimbrella-reason"), "cooldown");

  sendAndWait(transport, get(server.origin() + "/plain"));

  ASSERT_EQ(seen.count(), 2u);
  const httplib::Headers& posted = seen.headers[0];
  EXPECT_EQ(seen.methods[0], "POST");
  EXPECT_EQ(seen.bodies[0], R"({"a":1})");
  auto value = [](const httplib::Headers& headers, const char* name) -> std::optional<std::string> {
    const auto it = headers.find(name);
    if (it == headers.end()) return std::nullopt;
    return it->second;
  };
  EXPECT_EQ(value(posted, "Accept"), "application/json");
  EXPECT_EQ(value(posted, "Authorization"), "Bearer abc");
  EXPECT_EQ(value(posted, "Content-Type"), "application/json");
  // Nothing of the user's locale and no compression that could defeat the size limit.
  EXPECT_EQ(value(posted, "Accept-Language"), "*");
  EXPECT_EQ(value(posted, "Accept-Encoding"), "identity");
  EXPECT_FALSE(value(posted, "Cookie").has_value());

  const httplib::Headers& plain = seen.headers[1];
  EXPECT_EQ(seen.methods[1], "GET");
  EXPECT_FALSE(value(plain, "Content-Type").has_value());
  EXPECT_FALSE(value(plain, "Authorization").has_value());
  EXPECT_TRUE(seen.bodies[1].empty());

  // Every header name the transport or Qt put on the wire, for the record.
  std::ostringstream names;
  for (const auto& [name, header] : posted) names << name << ": " << header << "\n";
  RecordProperty("wire_headers", names.str());
  for (const auto& [name, header] : posted) {
    static const std::set<std::string> known = {"Accept", "Authorization", "Content-Type", "Content-Length",
                                                "Host", "Connection", "User-Agent", "Accept-Language",
                                                "Accept-Encoding", "REMOTE_ADDR", "REMOTE_PORT",
                                                "LOCAL_ADDR", "LOCAL_PORT"};
    EXPECT_TRUE(known.count(name) == 1) << "unexpected header " << name << ": " << header;
  }
}

TEST(QtHttpTransport, NeverFollowsARedirectAndKeepsNoCookiesOrCache) {
  std::atomic<int> targetHits{0};
  LocalServer target;
  target->Get("/landing", [&](const httplib::Request&, httplib::Response& answer) {
    ++targetHits;
    answer.set_content("{}", "application/json");
  });
  target.start();

  Seen seen;
  LocalServer origin;
  origin->Get("/moved", [&](const httplib::Request& request, httplib::Response& answer) {
    seen.record(request);
    answer.set_redirect(target.origin() + "/landing", 302);
  });
  origin->Get("/cached", [&](const httplib::Request& request, httplib::Response& answer) {
    seen.record(request);
    answer.set_header("Set-Cookie", "session=secret; Path=/");
    answer.set_header("Cache-Control", "public, max-age=3600");
    answer.set_header("ETag", "\"v1\"");
    answer.set_content(R"({"n":1})", "application/json");
  });
  origin.start();

  QtHttpTransport transport;
  for (int status : {301, 302, 303, 307, 308}) {
    origin->Get("/moved" + std::to_string(status), [&, status](const httplib::Request&, httplib::Response& answer) {
      answer.set_redirect(target.origin() + "/landing", status);
    });
  }
  const TransportResult moved = sendAndWait(transport, get(origin.origin() + "/moved"));
  EXPECT_EQ(response(moved).status, 302);
  EXPECT_EQ(response(moved).header("Location"), target.origin() + "/landing");
  HttpRequest post = get(origin.origin() + "/moved");
  post.method = "POST";
  post.body = "{}";
  post.headers = {{"Content-Type", "application/json"}};
  origin->Post("/moved", [&](const httplib::Request&, httplib::Response& answer) {
    answer.set_redirect(target.origin() + "/landing", 307);
  });
  EXPECT_EQ(response(sendAndWait(transport, post)).status, 307);
  EXPECT_EQ(targetHits.load(), 0) << "the redirect target was contacted";

  // Twice the same cacheable answer that sets a cookie: both requests reach the server,
  // the second carries neither the cookie nor a validator.
  EXPECT_EQ(response(sendAndWait(transport, get(origin.origin() + "/cached"))).body, R"({"n":1})");
  EXPECT_EQ(response(sendAndWait(transport, get(origin.origin() + "/cached"))).body, R"({"n":1})");
  ASSERT_EQ(seen.count(), 3u);
  for (const httplib::Headers& headers : seen.headers) {
    EXPECT_EQ(headers.count("Cookie"), 0u);
    EXPECT_EQ(headers.count("If-None-Match"), 0u);
  }
}

long procStatusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

TEST(QtHttpTransport, StopsReadingAHugeBodyJustPastTheLimit) {
  constexpr std::size_t kHuge = 300ull * 1000 * 1000;
  const std::string chunk(64 * 1024, 'x');
  std::atomic<std::size_t> served{0};
  std::atomic<bool> providerEnded{false};
  LocalServer server;
  server->Get("/huge", [&](const httplib::Request&, httplib::Response& answer) {
    answer.set_chunked_content_provider(
        "application/json",
        [&](std::size_t, httplib::DataSink& sink) {
          if (served >= kHuge) {
            sink.done();
            return true;
          }
          if (!sink.write(chunk.data(), chunk.size())) return false;
          served += chunk.size();
          return true;
        },
        [&](bool) { providerEnded = true; });
  });
  server->Get("/exact", [&](const httplib::Request&, httplib::Response& answer) {
    answer.set_content(std::string(kLimit, 'y'), "application/json");
  });
  server.start();

  QtHttpTransport transport;
  // Warm up Qt's connection machinery so that only the body itself is measured.
  const TransportResult exact = sendAndWait(transport, get(server.origin() + "/exact"));
  EXPECT_EQ(response(exact).body.size(), kLimit) << "a body of exactly the limit is read whole";

  const long rssBefore = procStatusKilobytes("VmRSS");
  std::ofstream clearRefs("/proc/self/clear_refs");
  const bool peakReset = static_cast<bool>(clearRefs << "5" << std::flush);
  long sampledPeak = rssBefore;
  std::optional<TransportResult> result;
  transport.send(get(server.origin() + "/huge"), [&](TransportResult r) { result = std::move(r); });
  ASSERT_TRUE(runUntil([&] {
    sampledPeak = std::max(sampledPeak, procStatusKilobytes("VmRSS"));
    return result.has_value();
  }));
  const long peak = peakReset ? std::max(sampledPeak, procStatusKilobytes("VmHWM")) : sampledPeak;

  const HttpResponse& answer = response(*result);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body.size(), kLimit + 1);
  EXPECT_TRUE(runUntil([&] { return providerEnded.load(); }, 10s)) << "the server kept sending";
  EXPECT_LT(served.load(), 64u * 1024 * 1024) << "the client kept reading";
  // Growth covers the kept body, Qt's bounded read buffer and socket buffers; far
  // below the 300 MB sent.
  const long growthKilobytes = peak - rssBefore;
  RecordProperty("rss_growth_kb", std::to_string(growthKilobytes));
  RecordProperty("bytes_served", std::to_string(served.load()));
  EXPECT_LT(growthKilobytes, 16 * 1024) << "grew by " << growthKilobytes << " kB";
}

TEST(QtHttpTransport, BoundsTheWaitForAnAnswerThatNeverComes) {
  RawSocket silent(/*listening=*/true);
  QtHttpTransport transport(300ms);
  const TransportResult result = sendAndWait(transport, get(silent.origin() + "/api/devices/me"), 10s);
  EXPECT_EQ(transportError(result).kind, TransportError::Kind::timedOut) << transportError(result).description;
  EXPECT_FALSE(transportError(result).description.empty());
}

TEST(QtHttpTransport, BoundsTheWholeExchangeAgainstATricklingServer) {
  // Sends a byte every 20 ms of a body that would take 40 s: never idle long enough
  // for the wait for data to run out.
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
  QTimer drip;
  QTcpSocket* peer = nullptr;
  QObject::connect(&server, &QTcpServer::newConnection, [&] {
    peer = server.nextPendingConnection();
    peer->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2000\r\n\r\n");
    drip.start(20);
  });
  QObject::connect(&drip, &QTimer::timeout, [&] { peer->write(" "); });

  QtHttpTransport transport(/*waitForData=*/5s, /*totalLimit=*/300ms);
  const TransportResult result =
      sendAndWait(transport, get("http://127.0.0.1:" + std::to_string(server.serverPort()) + "/"), 10s);
  EXPECT_EQ(transportError(result).kind, TransportError::Kind::timedOut);
  EXPECT_EQ(transportError(result).description, "The request did not complete within 300 ms.");
}

TEST(QtHttpTransport, ReportsARefusedConnection) {
  RawSocket closed(/*listening=*/false);
  QtHttpTransport transport(2s);
  const TransportResult result = sendAndWait(transport, get(closed.origin() + "/"));
  EXPECT_EQ(transportError(result).kind, TransportError::Kind::connectionRefused) << transportError(result).description;
}

TEST(QtHttpTransport, RefusesAnAnswerCompressedAgainstItsRequest) {
  LocalServer server;
  server->Get("/gz", [&](const httplib::Request&, httplib::Response& answer) {
    answer.set_header("Content-Encoding", "gzip");
    answer.set_content(std::string("\x1f\x8b\x08\x00", 4), "application/json");
  });
  server.start();
  QtHttpTransport transport;
  const TransportResult result = sendAndWait(transport, get(server.origin() + "/gz"));
  EXPECT_EQ(transportError(result).kind, TransportError::Kind::other);
}

// A self-signed certificate that no system store trusts.
struct SelfSigned {
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;

  explicit SelfSigned(const char* subjectAltName) {
    key = EVP_EC_gen("P-256");
    certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("client test"), -1, -1,
                               0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, subjectAltName);
    X509_add_ext(certificate, san, -1);
    X509_EXTENSION_free(san);
    X509_sign(certificate, key, EVP_sha256());
  }
  ~SelfSigned() {
    X509_free(certificate);
    EVP_PKEY_free(key);
  }
  SelfSigned(const SelfSigned&) = delete;
  SelfSigned& operator=(const SelfSigned&) = delete;

  QSslCertificate qt() const {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    QSslCertificate result(QByteArray(reinterpret_cast<const char*>(der), length), QSsl::Der);
    OPENSSL_free(der);
    return result;
  }
};

// Makes `roots` trusted process-wide for the test's lifetime, as if the system's
// store held them; the transport itself is unchanged.
class TrustedRoots {
 public:
  explicit TrustedRoots(const QList<QSslCertificate>& roots) : saved_(QSslConfiguration::defaultConfiguration()) {
    QSslConfiguration conf = saved_;
    conf.addCaCertificates(roots);
    QSslConfiguration::setDefaultConfiguration(conf);
  }
  ~TrustedRoots() { QSslConfiguration::setDefaultConfiguration(saved_); }

 private:
  QSslConfiguration saved_;
};

TEST(QtHttpTransport, VerifiesTheServersCertificateAndHostName) {
  SelfSigned loopback("IP:127.0.0.1");
  SelfSigned otherHost("DNS:other.invalid");
  ASSERT_NE(loopback.key, nullptr);
  std::atomic<int> hits{0};
  auto handler = [&](const httplib::Request&, httplib::Response& answer) {
    ++hits;
    answer.set_content("{}", "application/json");
  };
  LocalServer server(std::make_unique<httplib::SSLServer>(loopback.certificate, loopback.key));
  ASSERT_TRUE(server->is_valid());
  server->Get("/api/devices/me", handler);
  server.start();
  LocalServer misnamed(std::make_unique<httplib::SSLServer>(otherHost.certificate, otherHost.key));
  misnamed->Get("/api/devices/me", handler);
  misnamed.start();

  QtHttpTransport transport(5s);
  // Not trusted by the system: refused before any request reaches the server.
  const TransportResult untrusted = sendAndWait(transport, get(server.origin("https") + "/api/devices/me"));
  EXPECT_EQ(transportError(untrusted).kind, TransportError::Kind::secureConnection)
      << transportError(untrusted).description;
  EXPECT_EQ(hits.load(), 0);

  {
    const TrustedRoots trusted({loopback.qt(), otherHost.qt()});
    QtHttpTransport trusting(5s);
    // Trusted and issued for this host: the same server now answers.
    const TransportResult accepted = sendAndWait(trusting, get(server.origin("https") + "/api/devices/me"));
    EXPECT_EQ(response(accepted).status, 200);
    EXPECT_EQ(hits.load(), 1);
    // Trusted but issued for another host: refused.
    const TransportResult wrongHost = sendAndWait(trusting, get(misnamed.origin("https") + "/api/devices/me"));
    EXPECT_EQ(transportError(wrongHost).kind, TransportError::Kind::secureConnection)
        << transportError(wrongHost).description;
    EXPECT_EQ(hits.load(), 1);
  }
}

TEST(QtHttpTransport, CarriesSeveralRequestsAtOnceAndAbandonsThemWhenDestroyed) {
  std::atomic<int> hits{0};
  LocalServer server;
  server->Get(R"(/n/(\d+))", [&](const httplib::Request& request, httplib::Response& answer) {
    ++hits;
    answer.set_content(request.matches[1].str(), "text/plain");
  });
  server.start();

  QtHttpTransport transport;
  std::vector<std::string> bodies(6);
  int delivered = 0;
  for (int i = 0; i < 6; ++i) {
    transport.send(get(server.origin() + "/n/" + std::to_string(i)), [&, i](TransportResult r) {
      bodies[static_cast<std::size_t>(i)] = response(r).body;
      ++delivered;
    });
  }
  EXPECT_EQ(transport.inFlight(), 6u);
  ASSERT_TRUE(runUntil([&] { return delivered == 6; }));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(bodies[static_cast<std::size_t>(i)], std::to_string(i));
  EXPECT_EQ(transport.inFlight(), 0u);

  // Requests still waiting when the transport goes away never call back.
  RawSocket silent(/*listening=*/true);
  bool called = false;
  {
    QtHttpTransport doomed(5s);
    doomed.send(get(silent.origin() + "/"), [&](TransportResult) { called = true; });
    doomed.post([&] { called = true; });
  }
  bool later = false;
  transport.post([&] { later = true; });
  ASSERT_TRUE(runUntil([&] { return later; }));
  EXPECT_FALSE(called);

  // A completion may destroy the transport that delivers it, also for an answer cut
  // off at the limit.
  server->Get("/big", [&](const httplib::Request&, httplib::Response& answer) {
    answer.set_content(std::string(kLimit + 4096, 'z'), "application/json");
  });
  auto owned = std::make_unique<QtHttpTransport>();
  std::size_t size = 0;
  owned->send(get(server.origin() + "/big"), [&](TransportResult r) {
    size = response(r).body.size();
    owned.reset();
  });
  ASSERT_TRUE(runUntil([&] { return owned == nullptr; }));
  EXPECT_EQ(size, kLimit + 1);
}

TEST(QtHttpTransport, RefusesAnAddressThatIsNotHttp) {
  QtHttpTransport transport;
  const TransportResult result = sendAndWait(transport, get("file:///etc/passwd"));
  EXPECT_EQ(transportError(result).kind, TransportError::Kind::other);
}

// The client over the Qt transport against a real server: every outcome of the frame.
TEST(ApiClientOverQt, MapsRealAnswersToResultsAndErrors) {
  std::atomic<int> redirectTargetHits{0};
  LocalServer elsewhere;
  elsewhere->Get(".*", [&](const httplib::Request&, httplib::Response& answer) {
    ++redirectTargetHits;
    answer.set_content(R"({"deviceId":"x","balanceMicros":1,"mode":"live"})", "application/json");
  });
  elsewhere.start();

  struct Script {
    int status = 200;
    std::string body;
    httplib::Headers headers;
  };
  std::mutex mutex;
  Script script;
  std::vector<httplib::Headers> seen;
  auto respond = [&](const httplib::Request& request, httplib::Response& answer) {
    std::lock_guard lock(mutex);
    seen.push_back(request.headers);
    answer.status = script.status;
    for (const auto& [name, value] : script.headers) answer.set_header(name.c_str(), value);
    if (!script.body.empty()) answer.set_content(script.body, "application/json");
  };
  LocalServer server;
  server->Get("/api/devices/me", respond);
  server->Post("/api/exposures/start", respond);
  server->Post("/api/exposures/cancel", respond);
  server.start();
  auto play = [&](int status, std::string body = {}, httplib::Headers headers = {}) {
    std::lock_guard lock(mutex);
    script = Script{status, std::move(body), std::move(headers)};
  };

  auto transport = std::make_shared<QtHttpTransport>(5s);
  const ApiClient client(SafeEndpoint(server.origin()), transport);
  auto me = [&]() {
    std::optional<ApiResult<DeviceResponse>> result;
    client.me("token-1", [&](ApiResult<DeviceResponse> r) { result.emplace(std::move(r)); });
    EXPECT_TRUE(runUntil([&] { return result.has_value(); }));
    return result ? std::move(*result) : ApiResult<DeviceResponse>(APIError::http(-1));
  };
  auto apiError = [](const auto& result) { return result.apiError() ? *result.apiError() : APIError::http(-1); };

  play(200, R"({"deviceId":"d-1","balanceMicros":42,"mode":"live"})");
  const auto ok = me();
  ASSERT_TRUE(ok.ok()) << ok.errorDescription();
  EXPECT_EQ(ok.value().balanceMicros, 42);
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].find("Authorization")->second, "Bearer token-1");
    EXPECT_EQ(seen[0].count("Content-Type"), 0u);
  }

  for (int status : {401, 403, 404, 409, 429, 500, 503, 407}) {
    SCOPED_TRACE(status);
    play(status, R"({"error":"nope"})");
    EXPECT_EQ(apiError(me()), APIError::http(status));
  }
  play(401, "", {{"WWW-Authenticate", "Bearer realm=\"api\""}});
  EXPECT_EQ(apiError(me()), APIError::http(401));
  play(402, R"({"code":"live_money_not_enabled"})");
  EXPECT_EQ(apiError(me()), APIError::paymentsUnavailable());
  play(200, "");
  EXPECT_EQ(apiError(me()), APIError::invalidResponse());
  play(302, "", {{"Location", elsewhere.origin() + "/api/devices/me"}});
  EXPECT_EQ(apiError(me()), APIError::http(302));
  EXPECT_EQ(redirectTargetHits.load(), 0);
  play(200, std::string(256001, ' '));
  EXPECT_EQ(apiError(me()), APIError::invalidResponse());

  auto start = [&]() {
    std::optional<ApiResult<ExposureLease>> result;
    client.start("token-1", std::nullopt, {}, [&](ApiResult<ExposureLease> r) { result.emplace(std::move(r)); });
    EXPECT_TRUE(runUntil([&] { return result.has_value(); }));
    return result ? std::move(*result) : ApiResult<ExposureLease>(APIError::http(-1));
  };
  play(204, "", {{"X-Nimbrella-Reason", "cooldown"}});
  EXPECT_EQ(apiError(start()), APIError::noFill("cooldown"));
  play(204);
  EXPECT_EQ(apiError(start()), APIError::noFill("no_eligible_campaign"));

  std::optional<ApiResult<EmptyResponse>> cancelled;
  client.cancel("token-1", "lease-1", [&](ApiResult<EmptyResponse> r) { cancelled.emplace(std::move(r)); });
  ASSERT_TRUE(runUntil([&] { return cancelled.has_value(); }));
  EXPECT_TRUE(cancelled->ok()) << cancelled->errorDescription();

  RawSocket closed(/*listening=*/false);
  const ApiClient nowhere(SafeEndpoint(closed.origin()), transport);
  std::optional<ApiResult<DeviceResponse>> refused;
  nowhere.me("token-1", [&](ApiResult<DeviceResponse> r) { refused.emplace(std::move(r)); });
  ASSERT_TRUE(runUntil([&] { return refused.has_value(); }));
  ASSERT_NE(refused->transportError(), nullptr);
  EXPECT_EQ(refused->transportError()->kind, TransportError::Kind::connectionRefused);
}

}  // namespace
}  // namespace nimbrella
