#include "SponsorServer/HttpHost.hpp"

#include "SponsorServer/Http.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <array>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

namespace nimbrella::server {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

constexpr std::size_t readChunk = 16 * 1024;
// What is read and thrown away after a refusal, so that the client sees the answer
// rather than a reset of the connection.
constexpr std::size_t drainBytes = 256 * 1024;
constexpr std::chrono::milliseconds drainTime{1000};

// Watches a request head while it arrives, before the parser sees any of it: the request
// line and every header line must stay within `lineBytes`, and there may be at most
// `headerCount` header lines. Answers the status to refuse with, or 0.
class HeadGuard {
 public:
  explicit HeadGuard(const HttpLimits& limits) : limits_(limits) {}

  void reset() {
    scanned_ = 0;
    line_ = 0;
    lineBytes_ = 0;
    done_ = false;
  }

  // Whether the blank line that ends the head has been seen.
  bool complete() const { return done_; }

  // `head` is everything received of this request so far; only the new part is scanned.
  int scan(std::string_view head) {
    for (; scanned_ < head.size() && !done_; ++scanned_) {
      const char c = head[scanned_];
      if (c != '\n') {
        if (++lineBytes_ > limits_.lineBytes + 1) return line_ == 0 ? 414 : 431;
        continue;
      }
      const bool carriageReturn = lineBytes_ > 0 && head[scanned_ - 1] == '\r';
      const std::size_t length = lineBytes_ - (carriageReturn ? 1 : 0);
      if (length > limits_.lineBytes) return line_ == 0 ? 414 : 431;
      if (length == 0 && line_ > 0) {
        done_ = true;
      } else if (++line_ > limits_.headerCount + 1) {
        return 431;
      }
      lineBytes_ = 0;
    }
    return 0;
  }

 private:
  const HttpLimits& limits_;
  std::size_t scanned_ = 0;
  std::size_t line_ = 0;
  std::size_t lineBytes_ = 0;
  bool done_ = false;
};

const char* codeForStatus(int status) {
  switch (status) {
    case 408: return "request_timeout";
    case 413: return "payload_too_large";
    case 414: return "uri_too_long";
    case 421: return "misdirected_request";
    case 431: return "headers_too_large";
    default: return "bad_request";
  }
}

HttpResponse refusal(int status) {
  HttpResponse response;
  response.status = status;
  response.contentType = "application/json";
  response.body = std::string("{\"code\":\"") + codeForStatus(status) + "\"}";
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

HttpRequest toRequest(const http::request<http::string_body>& in) {
  HttpRequest out;
  out.method = std::string(in.method_string());
  const std::string_view target(in.target().data(), in.target().size());
  const auto question = target.find('?');
  out.path = std::string(target.substr(0, question));
  if (question != std::string_view::npos) {
    // A query with a malformed escape counts as no query at all.
    auto query = parseFormEncoded(target.substr(question + 1));
    if (query) out.query = std::move(*query);
  }
  for (const auto& field : in) {
    out.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  out.body = in.body();
  return out;
}

class Connection;

}  // namespace

struct HttpHost::Impl {
  Impl(const DevServer& devServer, int threadCount, HttpLimits httpLimits)
      : server(devServer), limits(httpLimits), acceptor(acceptIo), retryTimer(acceptIo) {
    for (int i = 0; i < std::max(1, threadCount); ++i) {
      contexts.push_back(std::make_unique<net::io_context>(1));
    }
  }

  void accept();
  // Closes the acceptor and every connection; runs on the accepting thread.
  void closeAll();

  const DevServer& server;
  const HttpLimits limits;
  // The open connections; declared before the I/O contexts, whose handlers may still own
  // connections when they are destroyed.
  std::mutex registryMutex;
  std::set<Connection*> registry;
  // One context per serving thread, each run by that thread alone, and one for accepting.
  std::vector<std::unique_ptr<net::io_context>> contexts;
  std::size_t nextContext = 0;
  net::io_context acceptIo{1};
  std::vector<net::executor_work_guard<net::io_context::executor_type>> work;
  tcp::acceptor acceptor;
  net::steady_timer retryTimer;
  std::vector<std::thread> threads;
  std::vector<HostPort> allowedHosts;
  bool started = false;
};

namespace {

// One client connection. All of its work runs on the one thread of its context: reading
// and writing without blocking, and handling a request once it has arrived whole.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(HttpHost::Impl& host, tcp::socket socket)
      : host_(host), stream_(std::move(socket)), buffer_(host.limits.headBytes + readChunk),
        guard_(host.limits), deadline_(stream_.get_executor()) {
    std::lock_guard lock(host_.registryMutex);
    host_.registry.insert(this);
  }
  ~Connection() {
    std::lock_guard lock(host_.registryMutex);
    host_.registry.erase(this);
  }

  void start() { nextRequest(); }

  // Closes the connection on its own thread; whatever it was waiting for ends.
  void closeSoon() {
    if (auto self = weak_from_this().lock()) {
      net::post(stream_.get_executor(), [self = std::move(self)] { self->close(); });
    }
  }

 private:
  void nextRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(host_.limits.headBytes));
    parser_->body_limit(host_.limits.bodyBytes);
    guard_.reset();
    started_ = false;
    if (buffer_.size() > 0) {
      begin();
      parse();
    } else {
      readMore();
    }
  }

  // The request's first byte has arrived: the rest must come before the deadline. The
  // deadline has its own timer, since a timeout of the stream would close the socket
  // before the client is told.
  void begin() {
    started_ = true;
    timedOut_ = false;
    deadline_.expires_after(host_.limits.request);
    deadline_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (error || !self->started_) return;
      self->timedOut_ = true;
      beast::error_code ignored;
      self->stream_.socket().cancel(ignored);
    });
  }

  void readMore() {
    const std::size_t room = buffer_.max_size() - buffer_.size();
    if (room == 0) return refuse(431);
    if (started_) {
      stream_.expires_never();
    } else {
      stream_.expires_after(host_.limits.idle);
    }
    stream_.async_read_some(buffer_.prepare(std::min(room, readChunk)),
                            [self = shared_from_this()](beast::error_code error, std::size_t n) {
                              self->onRead(error, n);
                            });
  }

  void onRead(beast::error_code error, std::size_t received) {
    // A request that is taking too long is told so; an idle connection just closes.
    if (timedOut_) return refuse(408);
    if (error == beast::error::timeout) return close();
    if (error) return close();
    buffer_.commit(received);
    if (!started_) begin();
    parse();
  }

  void parse() {
    if (!parser_->is_header_done()) {
      const auto data = buffer_.data();
      const int status =
          guard_.scan(std::string_view(static_cast<const char*>(data.data()), data.size()));
      if (status != 0) return refuse(status);
      // The parser sees the head only once it is whole. It takes complete lines out of the
      // buffer as they come and keeps them, so a head fed to it in pieces would pass both
      // its own size limit, which counts the bytes of one call, and the guard's.
      if (!guard_.complete()) return readMore();
    }
    while (buffer_.size() > 0 && !parser_->is_done()) {
      beast::error_code error;
      const std::size_t used = parser_->put(buffer_.data(), error);
      buffer_.consume(used);
      if (error == http::error::need_more) break;
      if (error == http::error::header_limit) return refuse(431);
      if (error == http::error::body_limit) return refuse(413);
      if (error) return refuse(400);
      if (used == 0) break;
    }
    if (parser_->is_done()) return dispatch();
    readMore();
  }

  void dispatch() {
    stream_.expires_never();
    started_ = false;
    deadline_.cancel();
    const auto& message = parser_->get();
    // A transfer coding other than a final "chunked" leaves the body's end unknown: the
    // request is refused rather than framed by a guess that a proxy may not share.
    if (message.count(http::field::transfer_encoding) > 0 && !parser_->chunked()) {
      parser_.reset();
      return refuse(400);
    }
    keepAlive_ = message.keep_alive();
    head_ = message.method() == http::verb::head;
    version_ = message.version();
    HttpRequest request = toRequest(message);
    parser_.reset();
    if (!hostAllowed(request, host_.allowedHosts)) {
      keepAlive_ = false;
      return write(refusal(421));
    }
    write(host_.server.handle(request));
  }

  // Answers a request that the network layer itself refuses, then closes.
  void refuse(int status) {
    started_ = false;
    deadline_.cancel();
    keepAlive_ = false;
    head_ = false;
    write(refusal(status));
  }

  void write(HttpResponse answer) {
    auto& response = response_.emplace(static_cast<http::status>(answer.status), version_);
    for (const auto& [name, value] : answer.headers) response.insert(name, value);
    if (!answer.contentType.empty()) response.set(http::field::content_type, answer.contentType);
    response.body() = std::move(answer.body);
    response.keep_alive(keepAlive_);
    response.prepare_payload();
    // A HEAD answer carries the length of the body it leaves out.
    if (head_) response.body().clear();
    stream_.expires_after(host_.limits.write);
    http::async_write(stream_, response,
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        self->response_.reset();
                        if (error) return self->close();
                        if (!self->keepAlive_) return self->finish();
                        self->nextRequest();
                      });
  }

  // Ends the connection after a last answer: no more writes, and what the client still
  // sends is read and dropped for a moment, so that the answer is not lost to a reset.
  void finish() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(drainTime);
    drain();
  }

  void drain() {
    stream_.async_read_some(net::buffer(scratch_),
                            [self = shared_from_this()](beast::error_code error, std::size_t n) {
                              self->drained_ += n;
                              if (error || self->drained_ > drainBytes) return self->close();
                              self->drain();
                            });
  }

  void close() {
    deadline_.cancel();
    stream_.close();
  }

  HttpHost::Impl& host_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  HeadGuard guard_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
  net::steady_timer deadline_;
  bool started_ = false;
  bool timedOut_ = false;
  bool keepAlive_ = false;
  bool head_ = false;
  unsigned version_ = 11;
  std::size_t drained_ = 0;
  std::array<char, 4096> scratch_{};
};

}  // namespace

void HttpHost::Impl::accept() {
  auto& context = *contexts[nextContext];
  acceptor.async_accept(context, [this](beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted || !acceptor.is_open()) return;
    if (error) {
      // Out of descriptors, say: try again shortly instead of spinning.
      retryTimer.expires_after(std::chrono::milliseconds(50));
      retryTimer.async_wait([this](beast::error_code waited) {
        if (!waited) accept();
      });
      return;
    }
    bool room = false;
    {
      std::lock_guard lock(registryMutex);
      room = registry.size() < limits.connections;
    }
    if (room) {
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      net::post(socket.get_executor(), [connection = std::make_shared<Connection>(
                                            *this, std::move(socket))] { connection->start(); });
      nextContext = (nextContext + 1) % contexts.size();
    }
    accept();
  });
}

void HttpHost::Impl::closeAll() {
  beast::error_code ignored;
  acceptor.close(ignored);
  retryTimer.cancel();
  std::lock_guard lock(registryMutex);
  for (Connection* connection : registry) connection->closeSoon();
}

HttpHost::HttpHost(const DevServer& server, int threads, HttpLimits limits)
    : impl_(std::make_unique<Impl>(server, threads, limits)) {}

HttpHost::~HttpHost() { stop(); }

int HttpHost::bind(int port) {
  if (port < 0 || port > 65535) throw std::runtime_error("the port must be 0 to 65535");
  auto& acceptor = impl_->acceptor;
  const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"),
                               static_cast<unsigned short>(port));
  beast::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(net::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(net::socket_base::max_listen_connections, error);
  if (error) {
    acceptor.close(error);
    if (port == 0) throw std::runtime_error("cannot listen on 127.0.0.1");
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) +
                             " (is another server using it?)");
  }
  port_ = acceptor.local_endpoint().port();
  return port_;
}

bool HttpHost::start() {
  if (impl_->started || !impl_->acceptor.is_open()) return false;
  impl_->started = true;
  impl_->allowedHosts = {HostPort{"127.0.0.1", port_}, HostPort{"localhost", port_}};
  if (const auto origin = originHost(impl_->server.options().origin)) {
    impl_->allowedHosts.push_back(*origin);
  }
  impl_->work.push_back(net::make_work_guard(impl_->acceptIo));
  for (auto& context : impl_->contexts) impl_->work.push_back(net::make_work_guard(*context));
  net::post(impl_->acceptIo, [impl = impl_.get()] { impl->accept(); });
  impl_->threads.emplace_back([impl = impl_.get()] { impl->acceptIo.run(); });
  for (auto& context : impl_->contexts) {
    impl_->threads.emplace_back([context = context.get()] { context->run(); });
  }
  return true;
}

void HttpHost::stop() {
  if (!impl_->started) return;
  impl_->started = false;
  net::post(impl_->acceptIo, [impl = impl_.get()] { impl->closeAll(); });
  // Requests being handled finish; their answers meet closed connections. Then every
  // thread runs out of work once its connections have ended.
  impl_->work.clear();
  for (auto& thread : impl_->threads) thread.join();
  impl_->threads.clear();
}

}  // namespace nimbrella::server
