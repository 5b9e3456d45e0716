#pragma once

#include "SponsorServer/DevServer.hpp"

#include <memory>
#include <thread>


namespace nimbrella::server {

// Serves a DevServer over HTTP on 127.0.0.1 only, on a pool of worker threads.
class ListeningServer;

class HttpHost {
 public:
  explicit HttpHost(const DevServer& server, int workerThreads = 16);
  ~HttpHost();
  HttpHost(const HttpHost&) = delete;
  HttpHost& operator=(const HttpHost&) = delete;

  // Binds 127.0.0.1:port (0 picks a free port) and answers the bound port. Throws
  // std::runtime_error when the port cannot be bound.
  int bind(int port);

  // Serves on a background thread and returns once connections are accepted; false when
  // serving could not start within five seconds.
  bool start();

  // Stops accepting, finishes the requests in progress and joins the serving thread.
  void stop();

  int port() const { return port_; }

 private:
  const DevServer& server_;
  std::unique_ptr<ListeningServer> http_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace nimbrella::server
