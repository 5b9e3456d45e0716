// The Qt Network transport against real servers on 127.0.0.1: cpp-httplib where HTTP
// must be parsed or spoken properly, raw sockets where the bytes themselves matter.

#include "SponsorApp/linux/QtHttpTransport.hpp"
#include "network/LocalServer.hpp"
#include "network/QtLoop.hpp"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace nimbrella {
namespace {

using namespace std::chrono_literals;
using testing::runUntil;
using testing::Serving;

const auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment);

constexpr std::size_t kLimit = 256'000;

HttpRequest get(const std::string& url) { return HttpRequest{url, "GET", {}, std::nullopt, kLimit}; }

// The result of `request`, which must not come from inside send(), within `limit`.
TransportResult sendAndWait(HttpTransport& transport, HttpRequest request, std::chrono::milliseconds limit = 20s) {
  std::optional<TransportResult> result;
  transport.send(std::move(request), [&](TransportResult r) { result = std::move(r); });
  EXPECT_FALSE(result.has_value()) << "delivered from inside send()";
  EXPECT_TRUE(runUntil([&] { return result.has_value(); }, limit)) << "no result in time";
  return result ? std::move(*result) : TransportResult(TransportError{TransportError::Kind::cancelled, "none"});
}

// "status reason body" of an answer (the reason being its X-Nimbrella-Reason header), or
// the kind of the failure.
std::string outcome(const TransportResult& result) {
  if (const auto* error = std::get_if<TransportError>(&result)) {
    const char* kinds[] = {"connectionRefused", "hostNotFound", "timedOut", "secureConnection", "cancelled", "other"};
    return kinds[static_cast<int>(error->kind)];
  }
  const auto& answer = std::get<HttpResponse>(result);
  return std::to_string(answer.status) + " " + answer.header("X-Nimbrella-Reason").value_or("-") + " " + answer.body;
}

// A server on an ephemeral 127.0.0.1 port speaking raw bytes: `onRequest` gets each
// connection's request once it has arrived. Without it, it never says a word.
struct RawServer : QTcpServer {
  RawServer() {
    listen(QHostAddress::LocalHost);
    connect(this, &QTcpServer::newConnection, [this] {
      QTcpSocket* peer = nextPendingConnection();
      connect(peer, &QTcpSocket::readyRead, [this, peer] {
        const QByteArray request = peer->readAll();
        if (onRequest) onRequest(peer, request);
      });
    });
  }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(serverPort()); }

  std::function<void(QTcpSocket* peer, const QByteArray& request)> onRequest;
};

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
  httplib::Server server;
  server.Post("/echo", record);
  server.Get("/echo", record);
  const Serving serving(server);

  QtHttpTransport transport;
  const std::vector<HttpHeader> headers = {
      {"Accept", "application/json"}, {"Authorization", "Bearer abc"}, {"Content-Type", "application/json"}};
  sendAndWait(transport, HttpRequest{serving.origin + "/echo", "POST", headers, R"({"a":1})", kLimit});
  // Twice a cacheable answer that sets a cookie: both requests reach the server, and
  // neither carries the cookie or a validator (the header check below).
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(outcome(sendAndWait(transport, get(serving.origin + "/echo"))), R"(200 - {"n":1})");
  }

  std::lock_guard lock(mutex);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].method + " " + seen[0].body, R"(POST {"a":1})");
  // Nothing of the user's locale, and no compression that could defeat the size limit.
  const std::map<std::string, std::string> given = {{"Accept", "application/json"}, {"Authorization", "Bearer abc"},
                                                    {"Content-Type", "application/json"}, {"Accept-Language", "*"},
                                                    {"Accept-Encoding", "identity"}};
  for (const auto& [name, value] : given) EXPECT_EQ(seen[0].get_header_value(name.c_str()), value) << name;
  EXPECT_FALSE(seen[1].has_header("Authorization") || seen[1].has_header("Content-Type")) << "only what was given";
  // Beyond those, only what HTTP itself needs and the server's own bookkeeping.
  const std::set<std::string> allowed = {"Content-Length", "Host",        "Connection", "User-Agent",
                                         "REMOTE_ADDR",    "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"};
  for (const httplib::Request& request : seen) {
    for (const auto& [name, value] : request.headers) {
      EXPECT_TRUE(given.count(name) + allowed.count(name) == 1) << "unexpected header " << name << ": " << value;
    }
  }
}

TEST(QtHttpTransport, StopsReadingAHugeBodyJustPastTheLimit) {
  constexpr std::size_t kHuge = 300ull * 1000 * 1000;
  const std::string chunk(64 * 1024, 'x');
  std::atomic<std::size_t> served{0};
  std::atomic<bool> providerEnded{false};
  httplib::Server server;
  server.Get("/huge", [&](const httplib::Request&, httplib::Response& answer) {
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
  server.Get("/exact", [&](const httplib::Request&, httplib::Response& answer) {
    answer.set_content(std::string(kLimit, 'y'), "application/json");
  });
  const Serving serving(server);

  auto transport = std::make_unique<QtHttpTransport>();
  // Exactly the limit is delivered whole.
  EXPECT_EQ(outcome(sendAndWait(*transport, get(serving.origin + "/exact"))), "200 - " + std::string(kLimit, 'y'));

  // The completion of the cut-off answer destroys the transport that delivers it: allowed.
  std::string answer;
  transport->send(get(serving.origin + "/huge"), [&](TransportResult r) {
    answer = outcome(r);
    transport.reset();
  });
  ASSERT_TRUE(runUntil([&] { return transport == nullptr; }));
  EXPECT_EQ(answer, "200 - " + std::string(kLimit + 1, 'x'));
  EXPECT_TRUE(runUntil([&] { return providerEnded.load(); }, 10s)) << "the server kept sending";
  // What the client read and the socket buffers held: far below the 300 MB on offer.
  EXPECT_LT(served.load(), 16u * 1024 * 1024) << "the client kept reading";
}

// Every answer that carries a status arrives as the answer it was, headers and body
// included, although Qt reports most statuses of 400 and above as errors of its own;
// a redirection is never followed. What is not a whole answer in time is a failure.
TEST(QtHttpTransport, DeliversEveryStatusAsTheAnswerItWasAndAnythingElseAsAFailure) {
  RawServer server;
  QtHttpTransport transport(5s);
  const QByteArray head = "\r\nX-Nimbrella-Reason: cooldown\r\nLocation: /landing\r\nContent-Type: text/plain\r\n";
  for (int status : {200, 204, 301, 302, 307, 400, 401, 402, 403, 404, 405, 407, 409, 410, 418, 422, 429, 500, 501,
                     503, 599}) {
    const QByteArray body = status == 204 ? "" : R"({"error":"nope"})";
    server.onRequest = [&](QTcpSocket* peer, const QByteArray&) {
      peer->write("HTTP/1.1 " + QByteArray::number(status) + " Status" + head +
                  "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    };
    EXPECT_EQ(outcome(sendAndWait(transport, get(server.origin() + "/"))),
              std::to_string(status) + " cooldown " + body.toStdString());
  }
  const std::vector<std::pair<QByteArray, std::string>> cases = {
      // Informational answers are interim: the final answer after them is the one delivered.
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 418 Teapot\r\nContent-Length: 2\r\n\r\n{}", "418 - {}"},
      // A compressed answer, although the request asked for none.
      {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 3\r\n\r\n\x1f\x8b\x08", "other"},
      // A status line, then the connection closes halfway through the body: not an
      // answer, also where Qt reports the status instead.
      {"HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n{\"code\"", "other"},
      {"HTTP/1.1 400 Bad Request\r\nContent-Length: 200\r\n\r\n{\"code\"", "other"},
      {"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 200\r\n\r\n{\"code\"", "other"},
  };
  for (const auto& [bytes, expected] : cases) {
    server.onRequest = [&](QTcpSocket* peer, const QByteArray&) {
      peer->write(bytes);
      peer->disconnectFromHost();
    };
    EXPECT_EQ(outcome(sendAndWait(transport, get(server.origin() + "/"))), expected) << bytes.left(40).data();
  }
  EXPECT_EQ(outcome(sendAndWait(transport, get("file:///etc/passwd"))), "other");
  std::string closed;
  {
    RawServer gone;  // nobody listens there once it is gone
    closed = gone.origin();
  }
  EXPECT_EQ(outcome(sendAndWait(transport, get(closed + "/"))), "connectionRefused");

  // The wait for data is bounded.
  RawServer silent;
  QtHttpTransport impatient(300ms);
  EXPECT_EQ(outcome(sendAndWait(impatient, get(silent.origin() + "/"), 10s)), "timedOut");

  // A byte every 20 ms of a body that would take 40 s: never idle long enough for the
  // wait for data to run out, but the whole exchange is bounded too.
  RawServer trickling;
  QTimer drip;
  trickling.onRequest = [&](QTcpSocket* peer, const QByteArray&) {
    peer->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2000\r\n\r\n");
    QObject::connect(&drip, &QTimer::timeout, peer, [peer] { peer->write(" "); });
    drip.start(20);
  };
  QtHttpTransport bounded(/*waitForData=*/5s, /*totalLimit=*/300ms);
  const auto result = sendAndWait(bounded, get(trickling.origin() + "/"), 10s);
  EXPECT_EQ(outcome(result), "timedOut");
  EXPECT_EQ(std::get<TransportError>(result).description, "The request did not complete within 300 ms.");
}

TEST(QtHttpTransport, VerifiesTheServersCertificateAndHostName) {
  std::atomic<int> hits{0};
  auto handler = [&](const httplib::Request&, httplib::Response& answer) {
    ++hits;
    answer.set_content("{}", "application/json");
  };
  // A certificate for 127.0.0.1 that no system store trusts.
  httplib::SSLServer server = testing::localHttpsServer();
  ASSERT_TRUE(server.is_valid());
  server.Get("/", handler);
  const Serving serving(server, "https");

  // Not trusted by the system: refused before any request reaches the server.
  QtHttpTransport transport(5s);
  EXPECT_EQ(outcome(sendAndWait(transport, get(serving.origin + "/"))), "secureConnection");
  EXPECT_EQ(hits.load(), 0);

  // Trusted through SSL_CERT_FILE (a file without certificates changes nothing); the
  // transport is unchanged.
  const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
  const QByteArray variable = qgetenv("SSL_CERT_FILE");
  qputenv("SSL_CERT_FILE", "/dev/null");
  QtHttpTransport::trustCertificatesOfSslCertFile();
  EXPECT_EQ(outcome(sendAndWait(transport, get(serving.origin + "/"))), "secureConnection");
  qputenv("SSL_CERT_FILE", QByteArray::fromStdString((testing::certificateFolder() / "cert.pem").string()));
  QtHttpTransport::trustCertificatesOfSslCertFile();
  qputenv("SSL_CERT_FILE", variable);
  QtHttpTransport trustingTransport(5s);
  // Issued for this address: the same server now answers; under another name: refused.
  EXPECT_EQ(outcome(sendAndWait(trustingTransport, get(serving.origin + "/"))), "200 - {}");
  const std::string otherName = "https://localhost" + serving.origin.substr(serving.origin.rfind(':'));
  const auto wrongHost = outcome(sendAndWait(trustingTransport, get(otherName + "/")));
  QSslConfiguration::setDefaultConfiguration(saved);
  EXPECT_EQ(wrongHost, "secureConnection");
  EXPECT_EQ(hits.load(), 1);
}

TEST(QtHttpTransport, CarriesSeveralRequestsAtOnceAndAbandonsThemWhenDestroyed) {
  // Each request is answered with its own path.
  RawServer server;
  server.onRequest = [](QTcpSocket* peer, const QByteArray& request) {
    const QByteArray path = request.mid(4, request.indexOf(' ', 4) - 4);
    peer->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(path.size()) + "\r\n\r\n" + path);
  };
  QtHttpTransport transport;
  int delivered = 0;
  for (int i = 0; i < 6; ++i) {
    transport.send(get(server.origin() + "/" + std::to_string(i)), [&, i](TransportResult r) {
      EXPECT_EQ(outcome(r), "200 - /" + std::to_string(i));  // each its own answer
      ++delivered;
    });
  }
  EXPECT_EQ(transport.inFlight(), 6u);
  ASSERT_TRUE(runUntil([&] { return delivered == 6; }));
  EXPECT_EQ(transport.inFlight(), 0u);

  // What is still waiting when the transport goes away never calls back.
  RawServer silent;
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
}

}  // namespace
}  // namespace nimbrella
