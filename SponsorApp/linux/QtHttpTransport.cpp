#include "SponsorApp/linux/QtHttpTransport.hpp"

#include <QByteArray>
#include <QFileInfo>
#include <QList>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <openssl/x509.h>

#include <algorithm>
#include <string>
#include <utility>

// Headers on the wire. The caller's HttpRequest headers are sent as given. Qt's HTTP
// code (6.4) adds these by itself when a request does not carry them:
// - "Host" and, with a body, "Content-Length" (required by HTTP);
// - "Connection: Keep-Alive" (connection reuse; nothing personal);
// - "User-Agent: Mozilla/5.0" (Qt's fixed generic value: no version, platform or locale);
// - "Accept-Encoding: zstd, br, gzip, deflate" (then decompresses the body on the fly);
// - "Accept-Language" from the system locale's UI languages, e.g. "de-DE,en,*" under
//   LANG=de_DE.UTF-8. That tells the server the user's locale, so every request sets
//   "Accept-Language: *" instead: Qt fills the header in whenever it is absent or empty,
//   so it cannot be removed, only neutralised.
// "Accept-Encoding" is set to "identity" for the sake of the body limit: with a
// compressed answer a few kilobytes on the wire could inflate to gigabytes before the
// limit is seen. Asking for the identity encoding, and refusing an answer that carries
// any other Content-Encoding, keeps the limit on the bytes the server sent.

namespace nimbrella {

namespace {

// A cookie jar that never stores and never returns a cookie.
class NoCookies final : public QNetworkCookieJar {
 public:
  using QNetworkCookieJar::QNetworkCookieJar;
  QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
  bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

// Qt's read buffer per reply: once this much is waiting, Qt stops reading the socket
// until it is drained, so memory stays bounded while the body is consumed.
constexpr qint64 kReadBufferBytes = 64 * 1024;

// Peers are verified (certificate chain and host name) against the system's trusted
// roots, which Qt's TLS backend looks up on demand in the system certificate store.
// The roots are deliberately not copied into the configuration: that would parse the
// whole store for every request.
QSslConfiguration verifyingTlsConfiguration() {
  QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
  conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
  conf.setProtocol(QSsl::TlsV1_2OrLater);
  return conf;
}

// Whether `file` is OpenSSL's own default bundle, which environments often name in
// SSL_CERT_FILE only to restate the default. Its roots are the system's, which Qt's TLS
// backend already trusts; a parsed copy of all of them in the default configuration
// would cost megabytes of memory and be added to every connection's store.
bool namesTheSystemBundle(const QString& file) {
  const QString canonical = QFileInfo(file).canonicalFilePath();
  return !canonical.isEmpty() &&
         canonical == QFileInfo(QString::fromUtf8(X509_get_default_cert_file())).canonicalFilePath();
}

TransportError::Kind kindOf(QNetworkReply::NetworkError error) {
  switch (error) {
    case QNetworkReply::ConnectionRefusedError:
      return TransportError::Kind::connectionRefused;
    case QNetworkReply::HostNotFoundError:
      return TransportError::Kind::hostNotFound;
    case QNetworkReply::TimeoutError:
      return TransportError::Kind::timedOut;
    case QNetworkReply::SslHandshakeFailedError:
      return TransportError::Kind::secureConnection;
    case QNetworkReply::OperationCanceledError:
      return TransportError::Kind::cancelled;
    default:
      return TransportError::Kind::other;
  }
}

// Whether an error that Qt attaches to a reply means that the connection failed. Qt
// also reports an answer with a status of 400 or more as an error of its own, chosen
// by status (a content, protocol or server error, 407 as a proxy error; 400 and 418
// are an "invalid operation"): such an answer arrived complete and is delivered as
// it is, so only the failures of the exchange itself are named here. Those are the
// network layer's (refused, closed, timed out, TLS...), the proxy's other than 407,
// and a broken HTTP protocol; none of them leaves a complete answer behind, even when
// a status line had already arrived.
bool connectionFailed(QNetworkReply::NetworkError error) {
  const int code = static_cast<int>(error);
  return (code >= 1 && code <= 99) ||
         (code >= 101 && code <= 199 && error != QNetworkReply::ProxyAuthenticationRequiredError) ||
         error == QNetworkReply::ProtocolFailure;
}

// Whether the body is shorter than the Content-Length the answer announced. Qt reports
// an answer of 400 or more by its status even when the connection closed before the
// whole body arrived (a 2xx answer cut off this way fails with a network error); this
// tells such an answer from a complete one. Answers without a body of their own (1xx,
// 204, 304 and any answer to HEAD) are never short.
bool cutShort(QNetworkReply* reply, int status, const std::string& method, std::size_t received) {
  if ((status >= 100 && status <= 199) || status == 204 || status == 304 || method == "HEAD") return false;
  bool valid = false;
  const qulonglong announced = reply->rawHeader("Content-Length").trimmed().toULongLong(&valid);
  return valid && received < announced;
}

}  // namespace

struct QtHttpTransport::Exchange {
  Completion done;
  std::string method;
  std::size_t maxBody = 0;
  std::string body;
  bool oversized = false;         // more than maxBody bytes arrived; the reply was aborted
  bool refusedEncoding = false;   // a Content-Encoding other than identity arrived
  bool expired = false;           // the whole exchange took longer than the total limit
  bool abortedByUs = false;
};

void QtHttpTransport::trustCertificatesOfSslCertFile() {
  const QString file = qEnvironmentVariable("SSL_CERT_FILE");
  if (file.isEmpty() || namesTheSystemBundle(file)) return;
  const QList<QSslCertificate> certificates = QSslCertificate::fromPath(file, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
  if (certificates.isEmpty()) return;
  QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
  conf.setCaCertificates(certificates);
  QSslConfiguration::setDefaultConfiguration(conf);
}

QtHttpTransport::QtHttpTransport(std::chrono::milliseconds waitForData, std::chrono::milliseconds totalLimit)
    : waitForData_(waitForData), totalLimit_(totalLimit), manager_(std::make_unique<QNetworkAccessManager>()) {
  manager_->setCookieJar(new NoCookies(manager_.get()));
  manager_->setCache(nullptr);
  manager_->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
  manager_->setStrictTransportSecurityEnabled(false);
  manager_->setAutoDeleteReplies(false);
  manager_->setTransferTimeout(static_cast<int>(waitForData_.count()));
}

QtHttpTransport::~QtHttpTransport() {
  // Abandon what is still in flight: no completion runs after this point.
  auto pending = std::move(exchanges_);
  exchanges_.clear();
  for (auto& [reply, exchange] : pending) {
    QObject::disconnect(reply, nullptr, nullptr, nullptr);
    reply->abort();
    delete reply;
  }
}

void QtHttpTransport::post(std::function<void()> task) {
  QMetaObject::invokeMethod(manager_.get(), std::move(task), Qt::QueuedConnection);
}

void QtHttpTransport::send(HttpRequest request, Completion done) {
  const QUrl url(QString::fromStdString(request.url), QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || url.isRelative() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
    TransportError error{TransportError::Kind::other, "Unsupported URL: " + request.url};
    post([done = std::move(done), error = std::move(error)]() mutable { done(std::move(error)); });
    return;
  }

  QNetworkRequest qrequest(url);
  qrequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  qrequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  qrequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
  qrequest.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
  qrequest.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
  qrequest.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
  // HTTP/1.1 only: its read-buffer back-pressure is what bounds memory while a body is
  // consumed, and it is the protocol the tests exercise.
  qrequest.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
  qrequest.setTransferTimeout(static_cast<int>(waitForData_.count()));
  qrequest.setSslConfiguration(verifyingTlsConfiguration());
  qrequest.setRawHeader("Accept-Language", "*");
  qrequest.setRawHeader("Accept-Encoding", "identity");
  for (const HttpHeader& header : request.headers) {
    qrequest.setRawHeader(QByteArray::fromStdString(header.name), QByteArray::fromStdString(header.value));
  }

  const QByteArray method = QByteArray::fromStdString(request.method);
  QNetworkReply* reply = request.body
                             ? manager_->sendCustomRequest(qrequest, method, QByteArray::fromStdString(*request.body))
                             : manager_->sendCustomRequest(qrequest, method);
  reply->setReadBufferSize(kReadBufferBytes);

  auto exchange = std::make_unique<Exchange>();
  exchange->done = std::move(done);
  exchange->method = request.method;
  exchange->maxBody = request.maxResponseBodyBytes;
  exchanges_.emplace(reply, std::move(exchange));

  QObject::connect(reply, &QNetworkReply::metaDataChanged, manager_.get(), [this, reply] {
    auto it = exchanges_.find(reply);
    if (it == exchanges_.end()) return;
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity") {
      it->second->refusedEncoding = true;
      it->second->abortedByUs = true;
      reply->abort();
    }
  });
  QTimer::singleShot(totalLimit_, reply, [this, reply] {
    auto it = exchanges_.find(reply);
    if (it == exchanges_.end() || it->second->abortedByUs) return;
    it->second->expired = true;
    it->second->abortedByUs = true;
    reply->abort();
  });
  QObject::connect(reply, &QNetworkReply::readyRead, manager_.get(), [this, reply] { readAvailable(reply); });
  QObject::connect(reply, &QNetworkReply::finished, manager_.get(), [this, reply] { finish(reply); });
  if (reply->isFinished()) {
    // Finished before the connections existed: finish on the next turn of the loop.
    // A second finish() for the same reply finds no exchange and does nothing; a
    // deleted reply drops the call.
    QMetaObject::invokeMethod(reply, [this, reply] { finish(reply); }, Qt::QueuedConnection);
  }
}

namespace {

// Moves what the reply holds into the exchange, never more than the limit plus one
// byte. True when more than the limit has arrived.
bool drain(QNetworkReply* reply, std::string& body, std::size_t maxBody) {
  const std::size_t cap = maxBody + 1;
  while (body.size() < cap && reply->bytesAvailable() > 0) {
    const qint64 want = static_cast<qint64>(cap - body.size());
    const QByteArray chunk = reply->read(std::min(want, reply->bytesAvailable()));
    if (chunk.isEmpty()) break;
    body.append(chunk.constData(), static_cast<std::size_t>(chunk.size()));
  }
  return body.size() >= cap;
}

}  // namespace

void QtHttpTransport::readAvailable(QNetworkReply* reply) {
  auto it = exchanges_.find(reply);
  if (it == exchanges_.end()) return;
  Exchange& exchange = *it->second;
  if (exchange.abortedByUs) return;
  if (drain(reply, exchange.body, exchange.maxBody)) {
    // More than the limit: stop reading. abort() may finish the reply at once, which
    // ends the exchange, so nothing of it is touched afterwards.
    exchange.oversized = true;
    exchange.abortedByUs = true;
    reply->abort();
  }
}

void QtHttpTransport::finish(QNetworkReply* reply) {
  auto it = exchanges_.find(reply);
  if (it == exchanges_.end()) return;
  if (!it->second->abortedByUs && drain(reply, it->second->body, it->second->maxBody)) it->second->oversized = true;
  std::unique_ptr<Exchange> exchange = std::move(it->second);
  exchanges_.erase(it);
  reply->disconnect(manager_.get());
  reply->deleteLater();

  const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  const QNetworkReply::NetworkError error = reply->error();
  const bool answered = statusAttribute.isValid() && !connectionFailed(error);

  TransportResult result;
  if (exchange->expired) {
    result = TransportError{TransportError::Kind::timedOut,
                            "The request did not complete within " + std::to_string(totalLimit_.count()) + " ms."};
  } else if (exchange->refusedEncoding) {
    result = TransportError{TransportError::Kind::other,
                            "Unsupported Content-Encoding: " + reply->rawHeader("Content-Encoding").toStdString()};
  } else if (!exchange->oversized && answered &&
             cutShort(reply, statusAttribute.toInt(), exchange->method, exchange->body.size())) {
    result = TransportError{TransportError::Kind::other, "The connection closed before the whole answer arrived."};
  } else if (exchange->oversized || answered) {
    HttpResponse response;
    response.status = statusAttribute.isValid() ? statusAttribute.toInt() : 0;
    for (const auto& [name, value] : reply->rawHeaderPairs()) {
      response.headers.push_back({name.toStdString(), value.toStdString()});
    }
    response.body = std::move(exchange->body);
    result = std::move(response);
  } else if (error == QNetworkReply::NoError) {
    // Finished without an error and without an HTTP status: not an HTTP answer.
    result = HttpResponse{};
  } else {
    TransportError::Kind kind = kindOf(error);
    // Qt reports the expiry of the transfer timeout as a cancellation; nothing else
    // cancels a request that this transport did not abort itself.
    if (kind == TransportError::Kind::cancelled && !exchange->abortedByUs) kind = TransportError::Kind::timedOut;
    result = TransportError{kind, reply->errorString().toStdString()};
  }
  // Deliver from a fresh turn of the loop, outside Qt's signal emission, so that the
  // completion may do anything, including destroying this transport. A transport
  // destroyed first drops the delivery.
  QMetaObject::invokeMethod(
      manager_.get(),
      [done = std::move(exchange->done), result = std::move(result)]() mutable { done(std::move(result)); },
      Qt::QueuedConnection);
}

}  // namespace nimbrella
