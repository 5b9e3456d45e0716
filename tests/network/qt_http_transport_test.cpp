// The Qt Network transport against real servers on 127.0.0.1.

#include "SponsorApp/linux/QtHttpTransport.hpp"
#include "network/LocalServer.hpp"
#include "network/QtLoop.hpp"

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
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace nimbrella {
namespace {

using namespace std::chrono_literals;
using testing::LocalServer;
using testing::runUntil;

const auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment);

constexpr std::size_t kLimit = 256'000;

HttpRequest get(const std::string& url) { return HttpRequest{url, "GET", {}, std::nullopt, kLimit}; }

std::string originOf(const QTcpServer& server) { return "http://127.0.0.1:" + std::to_string(server.serverPort()); }

TransportResult sendAndWait(HttpTransport& transport, HttpRequest request, std::chrono::milliseconds limit = 20s) {
  std::optional<TransportResult> result;
  transport.send(std::move(request), [&](TransportResult r) { result = std::move(r); });
  EXPECT_FALSE(result.has_value()) << "delivered from inside send()";
  EXPECT_TRUE(runUntil([&] { return result.has_value(); }, limit)) << "no result in time";
  return result ? std::move(*result) : TransportResult(TransportError{TransportError::Kind::other, "no result"});
}

// The answer or the failure that `result` must hold (a default one, and a test
// failure naming what came instead, otherwise).
template <class T>
T as(const TransportResult& result) {
  if (const T* wanted = std::get_if<T>(&result)) return *wanted;
  if (const auto* error = std::get_if<TransportError>(&result)) ADD_FAILURE() << "failed: " << error->description;
  else ADD_FAILURE() << "unexpected HTTP answer " << std::get<HttpResponse>(result).status;
  return T{};
}

TEST(QtHttpTransport, SendsExactlyTheGivenHeadersAndKeepsNoCookiesOrCache) {
  std::mutex mutex;
  std::vector<httplib::Request> seen;
  auto record = [&](const httplib::Request& request, httplib::Response& answer) {
    std::lock_guard lock(mutex);
    seen.push_back(request);
    answer.set_header("Set-Cookie", "session=secret; Path=/");
    answer.set_header("Cache-Control", "public, max-age=3600");
    answer.set_header("ETag", "\"v1\"");
    answer.set_content(R"({"n":1})", "application/json");
  };
  LocalServer server;
  server->Post("/echo", record);
  server->Get("/echo", record);
  server.start();

  QtHttpTransport transport;
  HttpRequest post = get(server.origin() + "/echo");
  post.method = "POST";
  post.headers = {{"Accept", "application/json"}, {"Authorization", "Bearer abc"}, {"Content-Type", "application/json"}};
  post.body = R"({"a":1})";
  sendAndWait(transport, post);
  // Twice a cacheable answer that sets a cookie: both requests reach the server, and
  // neither carries the cookie or a validator (the header check below).
  for (int i = 0; i < 2; ++i) EXPECT_EQ(as<HttpResponse>(sendAndWait(transport, get(server.origin() + "/echo"))).body, R"({"n":1})");

  std::lock_guard lock(mutex);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].body, R"({"a":1})");
  const std::map<std::string, std::string> given = {
      {"Accept", "application/json"}, {"Authorization", "Bearer abc"}, {"Content-Type", "application/json"},
      // Nothing of the user's locale, and no compression that could defeat the size limit.
      {"Accept-Language", "*"}, {"Accept-Encoding", "identity"}};
  for (const auto& [name, value] : given) EXPECT_EQ(seen[0].get_header_value(name.c_str()), value) << name;
  EXPECT_FALSE(seen[1].has_header("Authorization") || seen[1].has_header("Content-Type")) << "only what was given";
  // Beyond those, only what HTTP itself needs and the server's own bookkeeping.
  const std::set<std::string> allowed = {"Content-Length", "Host", "Connection", "User-Agent", "REMOTE_ADDR",
                                         "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"};
  for (const httplib::Request& request : seen) {
    for (const auto& [name, value] : request.headers) {
      EXPECT_TRUE(given.count(name) + allowed.count(name) == 1) << "unexpected header " << name << ": " << value;
    }
  }
}

long procStatusKilobytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
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
          if (served >= kHuge) return sink.done(), true;
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

  auto transport = std::make_unique<QtHttpTransport>();
  // Also warms up Qt's connection machinery, so that only the huge body is measured.
  EXPECT_EQ(as<HttpResponse>(sendAndWait(*transport, get(server.origin() + "/exact"))).body.size(), kLimit);

  // The peak resident size, reset here where the kernel allows it (a test runs in a
  // process of its own, so otherwise it holds little more than the start-up).
  const long rssBefore = procStatusKilobytes("VmRSS");
  std::ofstream("/proc/self/clear_refs") << "5";
  // The completion of the cut-off answer destroys the transport that delivers it: allowed.
  HttpResponse answer;
  transport->send(get(server.origin() + "/huge"), [&](TransportResult r) {
    answer = as<HttpResponse>(r);
    transport.reset();
  });
  ASSERT_TRUE(runUntil([&] { return transport == nullptr; }));
  const long growth = procStatusKilobytes("VmHWM") - rssBefore;
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body.size(), kLimit + 1);
  EXPECT_TRUE(runUntil([&] { return providerEnded.load(); }, 10s)) << "the server kept sending";
  EXPECT_LT(served.load(), 64u * 1024 * 1024) << "the client kept reading";
  // The kept body, Qt's bounded read buffer and socket buffers: far below the 300 MB sent.
  EXPECT_LT(growth, 16 * 1024) << "grew by " << growth << " kB";
}

TEST(QtHttpTransport, ReportsEveryFailureBelowHttp) {
  // Declared before every transport, so that its connections are closed first.
  LocalServer server;
  server->Get("/gz", [&](const httplib::Request&, httplib::Response& answer) {
    answer.set_header("Content-Encoding", "gzip");  // although the request asked for none
    answer.set_content(std::string("\x1f\x8b\x08\x00", 4), "application/json");
  });
  server.start();
  QTcpServer silent;  // accepts connections, never says a word
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
  QtHttpTransport impatient(300ms);
  const auto timedOut = as<TransportError>(sendAndWait(impatient, get(originOf(silent) + "/api/devices/me"), 10s));
  EXPECT_EQ(timedOut.kind, TransportError::Kind::timedOut) << timedOut.description;

  // A byte every 20 ms of a body that would take 40 s: never idle long enough for the
  // wait for data to run out, but the whole exchange is bounded too.
  QTcpServer trickling;
  ASSERT_TRUE(trickling.listen(QHostAddress::LocalHost));
  QTimer drip;
  QTcpSocket* peer = nullptr;
  QObject::connect(&trickling, &QTcpServer::newConnection, [&] {
    peer = trickling.nextPendingConnection();
    peer->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2000\r\n\r\n");
    drip.start(20);
  });
  QObject::connect(&drip, &QTimer::timeout, [&] { peer->write(" "); });
  QtHttpTransport bounded(/*waitForData=*/5s, /*totalLimit=*/300ms);
  const auto expired = as<TransportError>(sendAndWait(bounded, get(originOf(trickling) + "/"), 10s));
  EXPECT_EQ(expired.kind, TransportError::Kind::timedOut);
  EXPECT_EQ(expired.description, "The request did not complete within 300 ms.");

  // A status line, then the connection closes halfway through the body: not an answer,
  // also where Qt reports the status instead.
  QTcpServer cutting;
  ASSERT_TRUE(cutting.listen(QHostAddress::LocalHost));
  QByteArray statusLine;
  QObject::connect(&cutting, &QTcpServer::newConnection, [&] {
    QTcpSocket* socket = cutting.nextPendingConnection();
    socket->write(statusLine + "\r\nContent-Type: application/json\r\nContent-Length: 200\r\n\r\n{\"code\"");
    socket->disconnectFromHost();
  });
  for (const char* line : {"HTTP/1.1 200 OK", "HTTP/1.1 400 Bad Request", "HTTP/1.1 503 Service Unavailable"}) {
    statusLine = line;
    const auto cut = as<TransportError>(sendAndWait(bounded, get(originOf(cutting) + "/")));
    EXPECT_EQ(cut.kind, TransportError::Kind::other) << line << ": " << cut.description;
  }

  QTcpServer closed;
  ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
  const std::string closedOrigin = originOf(closed);
  closed.close();
  QtHttpTransport transport(2s);
  const auto refused = as<TransportError>(sendAndWait(transport, get(closedOrigin + "/")));
  EXPECT_EQ(refused.kind, TransportError::Kind::connectionRefused) << refused.description;

  // A compressed answer, and an address that is not HTTP.
  EXPECT_EQ(as<TransportError>(sendAndWait(transport, get(server.origin() + "/gz"))).kind, TransportError::Kind::other);
  EXPECT_EQ(as<TransportError>(sendAndWait(transport, get("file:///etc/passwd"))).kind, TransportError::Kind::other);
}

// A self-signed P-256 certificate for `subjectAltName`, which no system store trusts.
struct SelfSigned {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();

  explicit SelfSigned(const char* subjectAltName) {
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("test"), -1, -1, 0);
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

TEST(QtHttpTransport, VerifiesTheServersCertificateAndHostName) {
  SelfSigned loopback("IP:127.0.0.1");
  SelfSigned otherHost("DNS:other.invalid");
  std::atomic<int> hits{0};
  auto handler = [&](const httplib::Request&, httplib::Response& answer) {
    ++hits;
    answer.set_content("{}", "application/json");
  };
  LocalServer server(std::make_unique<httplib::SSLServer>(loopback.certificate, loopback.key));
  LocalServer misnamed(std::make_unique<httplib::SSLServer>(otherHost.certificate, otherHost.key));
  ASSERT_TRUE(server->is_valid() && misnamed->is_valid());
  server->Get("/", handler);
  misnamed->Get("/", handler);
  server.start();
  misnamed.start();

  // Not trusted by the system: refused before any request reaches the server.
  QtHttpTransport transport(5s);
  const auto untrusted = as<TransportError>(sendAndWait(transport, get(server.origin("https") + "/")));
  EXPECT_EQ(untrusted.kind, TransportError::Kind::secureConnection) << untrusted.description;
  EXPECT_EQ(hits.load(), 0);

  // Trusted process-wide, as if the system's store held them; the transport is unchanged.
  const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
  QSslConfiguration trusting = saved;
  trusting.addCaCertificates({loopback.qt(), otherHost.qt()});
  QSslConfiguration::setDefaultConfiguration(trusting);
  QtHttpTransport trustingTransport(5s);
  // Issued for this host: the same server now answers; issued for another: refused.
  EXPECT_EQ(as<HttpResponse>(sendAndWait(trustingTransport, get(server.origin("https") + "/"))).status, 200);
  const auto wrongHost = as<TransportError>(sendAndWait(trustingTransport, get(misnamed.origin("https") + "/")));
  QSslConfiguration::setDefaultConfiguration(saved);
  EXPECT_EQ(wrongHost.kind, TransportError::Kind::secureConnection) << wrongHost.description;
  EXPECT_EQ(hits.load(), 1);
}

TEST(QtHttpTransport, CarriesSeveralRequestsAtOnceAndAbandonsThemWhenDestroyed) {
  LocalServer server;
  server->Get(R"(/n/(\d+))", [&](const httplib::Request& request, httplib::Response& answer) {
    answer.set_content(request.matches[1].str(), "text/plain");
  });
  server.start();

  QtHttpTransport transport;
  std::vector<std::string> bodies(6);
  int delivered = 0;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    transport.send(get(server.origin() + "/n/" + std::to_string(i)), [&, i](TransportResult r) {
      bodies[i] = as<HttpResponse>(r).body;
      ++delivered;
    });
  }
  EXPECT_EQ(transport.inFlight(), 6u);
  ASSERT_TRUE(runUntil([&] { return delivered == 6; }));
  EXPECT_EQ(bodies, (std::vector<std::string>{"0", "1", "2", "3", "4", "5"}));
  EXPECT_EQ(transport.inFlight(), 0u);

  // What is still waiting when the transport goes away never calls back.
  QTcpServer silent;
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
  bool called = false;
  {
    QtHttpTransport doomed(5s);
    doomed.send(get(originOf(silent) + "/"), [&](TransportResult) { called = true; });
    doomed.post([&] { called = true; });
  }
  bool later = false;
  transport.post([&] { later = true; });
  ASSERT_TRUE(runUntil([&] { return later; }));
  EXPECT_FALSE(called);
}

// Qt reports most statuses of 400 and above as errors of its own (content, protocol,
// server and proxy errors, 400 and 418 as an "invalid operation"); every status must
// still arrive as the answer it was, headers and body included, and a redirection is
// never followed.
TEST(QtHttpTransport, DeliversEveryStatusAsTheAnswerItWas) {
  std::atomic<int> landings{0};
  LocalServer server;
  server->Get(R"(/status/(\d+))", [&](const httplib::Request& request, httplib::Response& answer) {
    answer.status = std::stoi(request.matches[1].str());
    answer.set_header("X-Nimbrella-Reason", "cooldown");
    answer.set_header("Location", "/landing");
    if (answer.status != 204) answer.set_content(R"({"error":"nope"})", "application/json");
  });
  server->Get("/landing", [&](const httplib::Request&, httplib::Response&) { ++landings; });
  server.start();

  QtHttpTransport transport(5s);
  for (int status : {200, 204, 301, 302, 307, 400, 401, 402, 403, 404, 405, 407, 409, 410, 418, 422, 429, 500, 501,
                     503, 599}) {
    SCOPED_TRACE(status);
    const auto answer =
        as<HttpResponse>(sendAndWait(transport, get(server.origin() + "/status/" + std::to_string(status))));
    EXPECT_EQ(answer.status, status);
    EXPECT_EQ(answer.header("X-Nimbrella-Reason"), "cooldown");
    EXPECT_EQ(answer.header("Location"), "/landing");
    EXPECT_EQ(answer.body, status == 204 ? "" : R"({"error":"nope"})");
  }
  EXPECT_EQ(landings.load(), 0) << "a redirection was followed";

  // Informational answers are interim: the final answer after them is the one delivered.
  QTcpServer interim;
  ASSERT_TRUE(interim.listen(QHostAddress::LocalHost));
  QObject::connect(&interim, &QTcpServer::newConnection, [&] {
    QTcpSocket* peer = interim.nextPendingConnection();
    QObject::connect(peer, &QTcpSocket::readyRead, [peer] {
      peer->readAll();
      peer->write("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 418 I'm a teapot\r\nContent-Type: application/json\r\n"
                  "Content-Length: 2\r\n\r\n{}");
    });
  });
  const auto teapot = as<HttpResponse>(sendAndWait(transport, get(originOf(interim) + "/")));
  EXPECT_EQ(teapot.status, 418);
  EXPECT_EQ(teapot.body, "{}");
}

}  // namespace
}  // namespace nimbrella
