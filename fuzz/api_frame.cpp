// Any answer a server can send, through the whole request frame and every record the
// client decodes: it must end in exactly one result per call and never crash.
//
// Input: two bytes of status, one byte of flags (bit 0: the sponsor path, bit 1: a
// reason header follows up to the first line feed), then the body.

#include "SponsorApp/network/ApiClient.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>

namespace {

using namespace nimbrella;

class EchoTransport final : public HttpTransport {
 public:
  HttpResponse answer;
  std::deque<std::function<void()>> queue;

  void send(HttpRequest, Completion done) override {
    queue.push_back([this, done = std::move(done)] { done(TransportResult(answer)); });
  }
  void post(std::function<void()> task) override { queue.push_back(std::move(task)); }
  void run() {
    while (!queue.empty()) {
      auto task = std::move(queue.front());
      queue.pop_front();
      task();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  auto transport = std::make_shared<EchoTransport>();
  transport->answer.status = (data[0] << 8 | data[1]) % 1000;
  const bool sponsorPath = (data[2] & 1) != 0;
  std::string rest(reinterpret_cast<const char*>(data + 3), size - 3);
  if ((data[2] & 2) != 0) {
    const auto end = rest.find('\n');
    transport->answer.headers.push_back({"X-Nimbrella-Reason", rest.substr(0, end)});
    rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
  }
  transport->answer.body = std::move(rest);

  const ApiClient client(SafeEndpoint("https://api.example.com"), transport);
  int delivered = 0;
  auto count = [&](const auto& result) {
    ++delivered;
    if (!result.ok() && result.errorDescription().empty()) std::abort();
    if (const APIError* error = result.apiError()) {
      if (error->kind() == APIError::Kind::noFill && !sponsorPath) std::abort();
    }
  };
  if (sponsorPath) {
    client.start("t", std::nullopt, {}, count);
  } else {
    client.me("t", count);
    client.pollAuthorization("t", count);
    client.startAuthorization("k", count);
    client.browserHandoff("t", "n", 1, "en", "s", count);
    client.complete("t", CompleteRequest{}, count);
    client.cancel("t", "l", count);
  }
  transport->run();
  if (delivered != (sponsorPath ? 1 : 6)) std::abort();
  return 0;
}
