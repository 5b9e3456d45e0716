#pragma once

#include "SponsorServer/DevServer.hpp"

#include <chrono>
#include <cstddef>
#include <memory>

namespace nimbrella::server {

// What one client may send and how long it may take. Every limit is enforced while the
// bytes arrive: a request is refused as soon as it passes one, and a connection never
// holds more than one request head and body in memory.
struct HttpLimits {
  std::size_t lineBytes = 8 * 1024;       // the request line and each header line
  std::size_t headerCount = 100;          // header fields of one request
  std::size_t headBytes = 64 * 1024;      // the whole request head
  std::size_t bodyBytes = maximumBodyBytes;  // with a length or chunked
  // From the end of the previous answer (or the connection's start) to the first byte.
  std::chrono::milliseconds idle{5000};
  // From the first byte of a request to its last one.
  std::chrono::milliseconds request{10000};
  // For writing one answer.
  std::chrono::milliseconds write{10000};
  std::size_t connections = 1024;  // open at once; more are closed when accepted
};

// Serves a DevServer over HTTP/1.1 on 127.0.0.1. Connections are shared out among the
// serving threads; each thread reads and writes its connections without blocking and
// handles a request where it is, once it has arrived whole, so that a request costs no
// hand-over between threads and idle keep-alive connections and slow clients occupy none.
// Only requests whose Host names this server (127.0.0.1 or localhost with the bound port,
// or the host and port of the server's origin) are served; others get 421.
class HttpHost {
 public:
  explicit HttpHost(const DevServer& server, int threads = 16, HttpLimits limits = {});
  ~HttpHost();
  HttpHost(const HttpHost&) = delete;
  HttpHost& operator=(const HttpHost&) = delete;

  // Binds 127.0.0.1:port (0 picks a free port) and answers the bound port. Throws
  // std::runtime_error when the port cannot be bound.
  int bind(int port);

  // Serves on background threads and returns once connections are accepted; false when
  // serving could not start.
  bool start();

  // Stops accepting, closes every connection and joins the threads.
  void stop();

  int port() const { return port_; }

  // The listening state, shared with the connections it serves.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

}  // namespace nimbrella::server
