#pragma once

#include "SponsorApp/Ports.hpp"

#include <QObject>

#include <functional>
#include <memory>

namespace nimbrella {

// The main queue on the Qt event loop of the thread that creates it (the GUI thread).
// Work still queued when the queue is destroyed is dropped.
class QtMainQueue final : public MainQueue {
 public:
  QtMainQueue();
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  void post(std::function<void()> task) override;
  void postAfter(double seconds, std::function<void()> task) override;
  // A precise timer: it keeps firing while menus and popups run their own loops.
  std::unique_ptr<RepeatingTimer> scheduleRepeating(double seconds, std::function<void()> task) override;

 private:
  std::unique_ptr<QObject> context_;
};

}  // namespace nimbrella
