#pragma once

// Loopback HTTP(S) servers for the client tests: a cpp-httplib server on 127.0.0.1 run
// on its own thread, a listening socket that never answers, and a port that refuses.

#include <httplib.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace nimbrella::testing {

// Starts `server` on an ephemeral loopback port and stops it on destruction.
class LocalServer {
 public:
  explicit LocalServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
      : server_(std::move(server)) {}

  httplib::Server& operator*() { return *server_; }
  httplib::Server* operator->() { return server_.get(); }

  // Binds and serves; handlers must be registered before.
  void start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // The socket already listens; wait (bounded) until the accept loop runs so that
    // stop() reaches it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    if (!server_->is_running()) throw std::runtime_error("loopback server did not start");
  }

  ~LocalServer() {
    if (thread_.joinable()) {
      server_->stop();
      thread_.join();
    }
  }

  int port() const { return port_; }
  std::string origin(const char* scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// A loopback socket bound to a port. With `listen` the kernel completes connections
// (nobody ever accepts or reads them); without it, connections are refused.
class RawSocket {
 public:
  explicit RawSocket(bool listening) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("bind failed");
    if (listening && ::listen(fd_, 8) != 0) throw std::runtime_error("listen failed");
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RawSocket() { ::close(fd_); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  int port() const { return port_; }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace nimbrella::testing
