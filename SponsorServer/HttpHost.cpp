#include "SponsorServer/HttpHost.hpp"

#include <httplib.h>

#include <chrono>
#include <stdexcept>

#include <sys/socket.h>

namespace nimbrella::server {

// The HTTP library listens with a backlog of 5 connections; when more clients connect at
// once the kernel drops their handshakes and they wait a whole second to retry. The
// backlog is widened once the socket listens.
class ListeningServer : public httplib::Server {
 public:
  bool widenBacklog() { return ::listen(svr_sock_, SOMAXCONN) == 0; }
};

namespace {

HttpRequest toRequest(const httplib::Request& in) {
  HttpRequest out;
  out.method = in.method;
  out.path = in.path;
  const auto question = in.target.find('?');
  if (question != std::string::npos) {
    // A query with a malformed escape counts as no query at all.
    auto query = parseFormEncoded(std::string_view(in.target).substr(question + 1));
    if (query) out.query = std::move(*query);
  }
  for (const auto& [name, value] : in.headers) out.headers.emplace_back(name, value);
  out.body = in.body;
  return out;
}

void fillResponse(const HttpResponse& in, httplib::Response& out) {
  out.status = in.status;
  for (const auto& [name, value] : in.headers) out.set_header(name, value);
  if (!in.contentType.empty()) out.set_content(in.body, in.contentType.c_str());
}

const char* codeForStatus(int status) {
  switch (status) {
    case 400: return "bad_request";
    case 404: return "not_found";
    case 405: return "method_not_allowed";
    case 408: return "request_timeout";
    case 413: return "payload_too_large";
    case 414: return "uri_too_long";
    case 416: return "range_not_satisfiable";
    case 431: return "headers_too_large";
    default: return status >= 500 ? "internal_error" : "bad_request";
  }
}

}  // namespace

HttpHost::HttpHost(const DevServer& server, int workerThreads)
    : server_(server), http_(std::make_unique<ListeningServer>()) {
  const auto threads = static_cast<std::size_t>(workerThreads < 1 ? 1 : workerThreads);
  http_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  http_->set_payload_max_length(maximumBodyBytes);
  http_->set_keep_alive_max_count(10000);
  http_->set_read_timeout(10, 0);
  http_->set_write_timeout(10, 0);
  http_->set_tcp_nodelay(true);

  const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    fillResponse(server_.handle(toRequest(request)), response);
  };
  for (const char* pattern : {R"(/.*)"}) {
    http_->Get(pattern, handler);
    http_->Post(pattern, handler);
    http_->Delete(pattern, handler);
    http_->Put(pattern, handler);
    http_->Patch(pattern, handler);
    http_->Options(pattern, handler);
  }
  // Answers the library produces itself (oversized body, malformed request) carry the
  // same JSON error body as the handlers' own.
  http_->set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    response.set_content(std::string("{\"code\":\"") + codeForStatus(response.status) + "\"}",
                         "application/json");
    return httplib::Server::HandlerResponse::Handled;
  }));
  http_->set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        response.status = 500;
        response.set_content("{\"code\":\"internal_error\"}", "application/json");
      });
}

HttpHost::~HttpHost() { stop(); }

int HttpHost::bind(int port) {
  if (port < 0 || port > 65535) throw std::runtime_error("the port must be 0 to 65535");
  if (port == 0) {
    port_ = http_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot listen on 127.0.0.1");
  } else {
    if (!http_->bind_to_port("127.0.0.1", port)) {
      throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) +
                               " (is another server using it?)");
    }
    port_ = port;
  }
  if (!http_->widenBacklog()) throw std::runtime_error("cannot listen on 127.0.0.1");
  return port_;
}

bool HttpHost::start() {
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  for (int i = 0; i < 500; ++i) {
    if (http_->is_running()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return http_->is_running();
}

void HttpHost::stop() {
  http_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace nimbrella::server
