#pragma once

#include "SponsorApp/network/HttpTransport.hpp"

#include <chrono>
#include <memory>
#include <unordered_map>

class QNetworkAccessManager;
class QNetworkReply;

namespace nimbrella {

// HttpTransport over Qt Network. Lives on the thread of the Qt event loop that runs
// the application (the main thread); every result is delivered there, through that
// loop, never from inside send().
//
// What this transport guarantees on top of the plain QNetworkAccessManager:
// - every answer that carries an HTTP status is delivered as that answer (status,
//   headers and body), whichever error Qt reports for its status; only a failure of
//   the exchange itself (refused, timed out, reset, TLS, a body cut off before the
//   length it announced...) is a TransportError;
// - redirections are never followed: a 3xx answer is delivered as the final answer;
// - no cookie is ever stored or sent, no cached answer is ever used or stored, no
//   credentials are reused between requests;
// - the wait for data is bounded: when nothing arrives for `waitForData` the request
//   ends with TransportError::Kind::timedOut; so is the whole exchange (`totalLimit`),
//   so that a server trickling a byte at a time cannot hold a request open forever;
// - TLS peers are verified against the system's certificate store, or the file that
//   SSL_CERT_FILE names (TLS 1.2 or later);
//   an untrusted certificate ends the request with Kind::secureConnection;
// - an answer's body is read only up to the request's limit plus one byte; as soon as
//   more arrives the reply is aborted and the cut-off answer delivered, so a server
//   sending gigabytes cannot make the client hold them;
// - the body is never decompressed by the transport (see the header notes in the
//   implementation), so the limit applies to what the server actually sent.
class QtHttpTransport final : public HttpTransport {
 public:
  // Where OpenSSL's SSL_CERT_FILE names a file of PEM certificates, those certificates
  // become the ones this process trusts (for this transport and the updater), as they do
  // for programs that use OpenSSL directly; the system's store is used otherwise, also
  // when the file holds no certificate or is OpenSSL's default bundle (the system's
  // roots again). Call once, before the first request.
  static void trustCertificatesOfSslCertFile();

  static constexpr std::chrono::milliseconds defaultWaitForData{15'000};
  static constexpr std::chrono::milliseconds defaultTotalLimit{60'000};

  explicit QtHttpTransport(std::chrono::milliseconds waitForData = defaultWaitForData,
                           std::chrono::milliseconds totalLimit = defaultTotalLimit);
  ~QtHttpTransport() override;

  QtHttpTransport(const QtHttpTransport&) = delete;
  QtHttpTransport& operator=(const QtHttpTransport&) = delete;

  void send(HttpRequest request, Completion done) override;
  void post(std::function<void()> task) override;

  // Number of requests still waiting for their result.
  std::size_t inFlight() const noexcept { return exchanges_.size(); }

 private:
  struct Exchange;

  void readAvailable(QNetworkReply* reply);
  void finish(QNetworkReply* reply);

  std::chrono::milliseconds waitForData_;
  std::chrono::milliseconds totalLimit_;
  std::unique_ptr<QNetworkAccessManager> manager_;
  std::unordered_map<QNetworkReply*, std::unique_ptr<Exchange>> exchanges_;
};

}  // namespace nimbrella
