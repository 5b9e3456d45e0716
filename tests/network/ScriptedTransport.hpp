#pragma once

// An in-memory HttpTransport for pure tests: it records every request, and the test
// answers them in any order; results and posted tasks wait in a manual queue until
// the test runs it.

#include "SponsorApp/network/HttpTransport.hpp"

#include <deque>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace nimbrella::testing {

class ScriptedTransport final : public HttpTransport {
 public:
  void send(HttpRequest request, Completion done) override {
    sent.push_back(request);
    waiting.push_back({std::move(request), std::move(done)});
  }
  void post(std::function<void()> task) override { queue.push_back(std::move(task)); }

  // Answers the request waiting at `index` (0: the oldest); the result is queued.
  void answer(TransportResult result, std::size_t index = 0) {
    if (index >= waiting.size()) throw std::logic_error("no such request waiting");
    auto done = std::move(waiting[index].second);
    waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(index));
    queue.push_back([done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
  }

  // Runs queued tasks until the queue is empty (bounded).
  void run() {
    for (int i = 0; i < 1000 && !queue.empty(); ++i) {
      auto task = std::move(queue.front());
      queue.pop_front();
      task();
    }
  }

  std::vector<HttpRequest> sent;
  std::deque<std::pair<HttpRequest, Completion>> waiting;
  std::deque<std::function<void()>> queue;
};

}  // namespace nimbrella::testing
