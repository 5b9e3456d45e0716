#pragma once

// A QCoreApplication for the whole test program and a bounded way to run its loop.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

namespace nimbrella::testing {

class QtApplicationEnvironment : public ::testing::Environment {
  void SetUp() override { app_ = std::make_unique<QCoreApplication>(argc_, argv_); }
  void TearDown() override { app_.reset(); }

  inline static int argc_ = 1;
  inline static char name_[] = "client-tests";
  inline static char* argv_[] = {name_, nullptr};
  std::unique_ptr<QCoreApplication> app_;
};

// Runs the event loop until `done` holds or `limit` passes; answers `done()`.
inline bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  QEventLoop loop;
  QTimer guard, check;
  QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  guard.start(static_cast<int>(limit.count()));
  check.start(1);
  if (!done()) loop.exec();
  return done();
}

}  // namespace nimbrella::testing
