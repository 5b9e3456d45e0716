#pragma once

// A cpp-httplib server on an ephemeral 127.0.0.1 port, served on its own thread.

#include <httplib.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace nimbrella::testing {

class LocalServer {
 public:
  explicit LocalServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
      : server_(std::move(server)) {}
  ~LocalServer() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
  }

  httplib::Server* operator->() { return server_.get(); }

  // Binds and serves; handlers must be registered before.
  void start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // Wait (bounded) for the accept loop, so that stop() reaches it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    if (!server_->is_running()) throw std::runtime_error("loopback server did not start");
  }

  std::string origin(const char* scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace nimbrella::testing
