// The Qt Network transport against real servers on 127.0.0.1 (cpp-httplib, and a socket
// that never answers).

#include "SponsorApp/linux/QtHttpTransport.hpp"
#include "network/LocalServer.hpp"
#include "network/QtLoop.hpp"

#include <QSslConfiguration>
#include <QTcpServer>

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <atomic>
#include <mutex>

namespace nimbrella {
namespace {

using namespace std::chrono_literals;
using testing::runUntil;
using testing::Serving;

const auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment);

constexpr std::size_t kLimit = 256'000;

HttpRequest get(const std::string& url) { return HttpRequest{url, "GET", {}, std::nullopt, kLimit}; }

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

// The outcome of `request`, which must not come from inside send(), within `limit`.
std::string fetch(HttpTransport& transport, HttpRequest request, std::chrono::milliseconds limit = 20s) {
  std::optional<TransportResult> result;
  transport.send(std::move(request), [&](TransportResult r) { result = std::move(r); });
  EXPECT_FALSE(result.has_value()) << "delivered from inside send()";
  return runUntil([&] { return result.has_value(); }, limit) ? outcome(*result) : "no result in time";
}

// Every header a request carries, one "name: value" a line, in name order; the server's
// bookkeeping and Host (which holds the port) left out.
std::string headersOf(const httplib::Request& request) {
  std::string text;
  for (const auto& [name, value] : request.headers) {
    if (name != "Host" && !name.starts_with("REMOTE_") && !name.starts_with("LOCAL_")) text += name + ": " + value + "\n";
  }
  return text;
}

TEST(QtHttpTransport, SendsExactlyTheGivenHeadersKeepsNoCookiesAndCarriesSeveralRequestsAtOnce) {
  std::mutex mutex;
  std::vector<httplib::Request> seen;
  auto record = [&](const httplib::Request& request, httplib::Response& answer) {
    std::lock_guard lock(mutex);
    seen.push_back(request);
    answer.set_header("Set-Cookie", "session=secret; Path=/");
    answer.set_content(request.path, "text/plain");
  };
  httplib::Server server;
  server.Post("/.*", record);
  server.Get("/.*", record);
  const Serving serving(server);

  QtHttpTransport transport;
  const std::vector<HttpHeader> given = {
      {"Accept", "application/json"}, {"Authorization", "Bearer abc"}, {"Content-Type", "application/json"}};
  EXPECT_EQ(fetch(transport, HttpRequest{serving.origin + "/echo", "POST", given, R"({"a":1})", kLimit}), "200 - /echo");
  // Then several at once, without the cookie, each delivered its own answer.
  int delivered = 0;
  for (int i = 0; i < 6; ++i) {
    transport.send(get(serving.origin + "/" + std::to_string(i)), [&, i](TransportResult r) {
      EXPECT_EQ(outcome(r), "200 - /" + std::to_string(i));
      ++delivered;
    });
  }
  ASSERT_TRUE(runUntil([&] { return delivered == 6; }));

  std::lock_guard lock(mutex);
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[0].method + " " + seen[0].body, R"(POST {"a":1})");
  // The given headers, nothing of the user's locale, no compression that could defeat the
  // size limit, and beyond those only what HTTP needs.
  EXPECT_EQ(headersOf(seen[0]), "Accept: application/json\nAccept-Encoding: identity\nAccept-Language: *\n"
                                "Authorization: Bearer abc\nConnection: Keep-Alive\nContent-Length: 7\n"
                                "Content-Type: application/json\nUser-Agent: Mozilla/5.0\n");
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_EQ(headersOf(seen[i]), "Accept-Encoding: identity\nAccept-Language: *\nConnection: Keep-Alive\n"
                                  "User-Agent: Mozilla/5.0\n") << i;
  }
}

TEST(QtHttpTransport, StopsReadingAHugeBodyJustPastTheLimit) {
  constexpr std::size_t kHuge = 300ull * 1000 * 1000;
  const std::string chunk(64 * 1024, 'x');
  std::atomic<std::size_t> served{0};
  httplib::Server server;
  server.Get("/huge", [&](const httplib::Request&, httplib::Response& answer) {
    const auto provide = [&](std::size_t, std::size_t, httplib::DataSink& sink) {
      served += chunk.size();
      return sink.write(chunk.data(), chunk.size());
    };
    answer.set_content_provider(kHuge, "application/json", provide);
  });
  const Serving serving(server);

  auto transport = std::make_unique<QtHttpTransport>();
  // The completion of the cut-off answer destroys the transport that delivers it: allowed.
  std::string answer;
  transport->send(get(serving.origin + "/huge"), [&](TransportResult r) {
    answer = outcome(r);
    transport.reset();
  });
  ASSERT_TRUE(runUntil([&] { return transport == nullptr; }));
  EXPECT_EQ(answer, "200 - " + std::string(kLimit + 1, 'x'));
  // What the client read and the socket buffers held: far below the 300 MB on offer.
  EXPECT_LT(served.load(), 16u * 1024 * 1024) << "the client kept reading";
}

// A server on 127.0.0.1 that takes connections and never says a word.
struct SilentServer : QTcpServer {
  SilentServer() { listen(QHostAddress::LocalHost); }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(serverPort()); }
};

// Every answer that carries a status arrives as the answer it was, headers and body
// included, although Qt reports most statuses of 400 and above as errors of its own
// (one of each kind here); a redirection is never followed. What is not a whole answer
// in time is a failure.
TEST(QtHttpTransport, DeliversEveryStatusAsTheAnswerItWasAndAnythingElseAsAFailure) {
  httplib::Server server;
  server.Get(R"(/(\d+))", [](const httplib::Request& request, httplib::Response& answer) {
    answer.status = std::stoi(request.matches[1]);
    answer.set_header("X-Nimbrella-Reason", "cooldown");
    answer.set_header("Location", "/landing");
    if (answer.status != 204) answer.set_content(R"({"error":"nope"})", "application/json");
  });
  // A compressed answer, although the request asked for none.
  server.Get("/gzip", [](const httplib::Request&, httplib::Response& answer) {
    answer.set_header("Content-Encoding", "gzip");
    answer.set_content("\x1f\x8b\x08", "application/json");
  });
  // The connection closes halfway through the body: not an answer, although Qt reports the status.
  server.Get("/cut", [](const httplib::Request&, httplib::Response& answer) {
    answer.status = 503;
    answer.set_content_provider(200, "application/json", [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
      return offset == 0 && sink.write("{\"code\"", 7);
    });
  });
  // A byte every 20 ms of a body that would take 40 s: never idle long enough for the
  // wait for data to run out, but the whole exchange is bounded too.
  server.Get("/trickle", [](const httplib::Request&, httplib::Response& answer) {
    answer.set_content_provider(2000, "application/json", [](std::size_t, std::size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(20ms);
      return sink.write(" ", 1);
    });
  });
  const Serving serving(server);

  QtHttpTransport transport(5s);
  for (int status : {200, 204, 302, 400, 401, 403, 404, 407, 409, 429, 500, 501, 503, 599}) {
    const std::string expected = std::to_string(status) + " cooldown " + (status == 204 ? "" : R"({"error":"nope"})");
    EXPECT_EQ(fetch(transport, get(serving.origin + "/" + std::to_string(status))), expected);
  }
  EXPECT_EQ(fetch(transport, get(serving.origin + "/gzip")), "other");
  EXPECT_EQ(fetch(transport, get(serving.origin + "/cut")), "other");
  QtHttpTransport bounded(/*waitForData=*/5s, /*totalLimit=*/300ms), impatient(300ms);
  EXPECT_EQ(fetch(bounded, get(serving.origin + "/trickle"), 10s), "timedOut");
  SilentServer silent;
  EXPECT_EQ(fetch(impatient, get(silent.origin() + "/"), 10s), "timedOut");
  const std::string closed = silent.origin();
  silent.close();  // nobody listens there any more
  EXPECT_EQ(fetch(transport, get(closed + "/")), "connectionRefused");
}

TEST(QtHttpTransport, VerifiesTheServersCertificateAndHostName) {
  httplib::SSLServer server = testing::localHttpsServer();  // for 127.0.0.1, in no system store
  server.Get("/", [](const httplib::Request&, httplib::Response& answer) { answer.set_content("{}", "text/plain"); });
  const Serving serving(server, "https");
  QtHttpTransport transport(5s);
  EXPECT_EQ(fetch(transport, get(serving.origin + "/")), "secureConnection");

  // Trusted through SSL_CERT_FILE: the same server answers at its address, not under another name.
  const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
  const QByteArray variable = qgetenv("SSL_CERT_FILE");
  // Naming the system's own bundle leaves the system's store in use, unparsed.
  qputenv("SSL_CERT_FILE", X509_get_default_cert_file());
  QtHttpTransport::trustCertificatesOfSslCertFile();
  EXPECT_TRUE(QSslConfiguration::defaultConfiguration() == saved);
  qputenv("SSL_CERT_FILE", QByteArray::fromStdString((testing::certificateFolder() / "cert.pem").string()));
  QtHttpTransport::trustCertificatesOfSslCertFile();
  qputenv("SSL_CERT_FILE", variable);
  QtHttpTransport trusting(5s);
  const std::string trusted = fetch(trusting, get(serving.origin + "/"));
  const std::string otherName = fetch(trusting, get("https://localhost" + serving.origin.substr(serving.origin.rfind(':'))));
  QSslConfiguration::setDefaultConfiguration(saved);
  EXPECT_EQ(trusted, "200 - {}");
  EXPECT_EQ(otherName, "secureConnection");
}

TEST(QtHttpTransport, RefusesOtherSchemesAndAbandonsWhatIsInFlightWhenDestroyed) {
  SilentServer silent;
  bool called = false;
  {
    QtHttpTransport doomed(5s);
    doomed.send(get(silent.origin() + "/"), [&](TransportResult) { called = true; });
    doomed.post([&] { called = true; });
  }
  QtHttpTransport transport;
  EXPECT_EQ(fetch(transport, get("file:///etc/passwd")), "other");
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace nimbrella
