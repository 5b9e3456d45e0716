#pragma once

// A QCoreApplication for the whole test program and a bounded way to run its loop.

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace nimbrella::testing {

class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (QCoreApplication::instance() == nullptr) app_ = new QCoreApplication(argc_, argv_);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  inline static int argc_ = 1;
  inline static char name_[] = "client-tests";
  inline static char* argv_[] = {name_, nullptr};
  QCoreApplication* app_ = nullptr;
};

// Runs the event loop until `done` holds or `limit` passes; answers `done()`.
inline bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  if (done()) return true;
  QEventLoop loop;
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  guard.start(static_cast<int>(limit.count()));
  check.start(1);
  loop.exec();
  return done();
}

}  // namespace nimbrella::testing
