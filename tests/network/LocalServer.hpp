#pragma once

// Real HTTP servers on 127.0.0.1 for the tests of the Qt adapters: a cpp-httplib server
// served from a thread of its own, and a self-signed certificate that only a test trusts.

#include <httplib.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

namespace nimbrella::testing {

// Serves a cpp-httplib server (its handlers registered) on an ephemeral 127.0.0.1 port on
// a thread of its own, until destroyed.
class Serving {
 public:
  explicit Serving(httplib::Server& server, const std::string& scheme = "http")
      : origin(scheme + "://127.0.0.1:" + std::to_string(server.bind_to_any_port("127.0.0.1"))), server_(server),
        thread_([&server] { server.listen_after_bind(); }) {
    // Wait (bounded) for the accept loop, so that stop() reaches it.
    for (int i = 0; i < 100000 && !server.is_running(); ++i) std::this_thread::yield();
  }
  ~Serving() { server_.stop(); }

  const std::string origin;

 private:
  httplib::Server& server_;
  std::jthread thread_;
};

// A self-signed P-256 certificate for the address 127.0.0.1 (and no name), cert.pem, with
// its key, key.pem: made once per test program by openssl, removed when it ends.
inline const std::filesystem::path& certificateFolder() {
  static const struct Folder {
    std::filesystem::path path = std::filesystem::temp_directory_path() / ("test-tls-" + std::to_string(::getpid()));
    Folder() {
      std::filesystem::create_directories(path);
      const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
                                  "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                                  (path / "key.pem").string() + " -out " + (path / "cert.pem").string() + " 2>/dev/null";
      if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make the certificate");
    }
    ~Folder() { std::filesystem::remove_all(path); }
  } folder;
  return folder.path;
}

// A cpp-httplib HTTPS server with that certificate.
inline httplib::SSLServer localHttpsServer() {
  return httplib::SSLServer((certificateFolder() / "cert.pem").c_str(), (certificateFolder() / "key.pem").c_str());
}

}  // namespace nimbrella::testing
