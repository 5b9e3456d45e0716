// The desktop adapters of the controller's ports, against the real Qt event loop, a
// real settings file and the locale environment.

#include "SponsorApp/linux/PreferredLanguages.hpp"
#include "SponsorApp/linux/QSettingsDefaults.hpp"
#include "SponsorApp/linux/QtMainQueue.hpp"
#include "network/QtLoop.hpp"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace nimbrella {
namespace {

using testing::runUntil;
const auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment);

TEST(LinuxPlatform, TheQtQueueRunsPostsInOrderNeverInsideTheCallAndDelaysAndRepeats) {
  QtMainQueue queue;
  std::vector<int> order;
  queue.post([&] { order.push_back(1); });
  queue.post([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  QElapsedTimer clock;
  clock.start();
  qint64 delayedAt = -1;
  queue.postAfter(0.05, [&] { delayedAt = clock.elapsed(); });
  ASSERT_TRUE(runUntil([&] { return delayedAt >= 0; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_GE(delayedAt, 45);

  int firings = 0;
  auto timer = queue.scheduleRepeating(0.01, [&] { ++firings; });
  ASSERT_TRUE(runUntil([&] { return firings >= 3; }));
  timer->invalidate();
  const int stopped = firings;
  bool later = false;
  queue.postAfter(0.05, [&] { later = true; });
  ASSERT_TRUE(runUntil([&] { return later; }));
  EXPECT_EQ(firings, stopped);

  // Work still queued when the queue goes is dropped.
  bool ran = false;
  {
    QtMainQueue shortLived;
    shortLived.post([&] { ran = true; });
  }
  bool flushed = false;
  queue.postAfter(0.02, [&] { flushed = true; });
  ASSERT_TRUE(runUntil([&] { return flushed; }));
  EXPECT_FALSE(ran);
}

TEST(LinuxPlatform, SettingsKeepEachKindAcrossReopening) {
  QTemporaryDir directory;
  ASSERT_TRUE(directory.isValid());
  const QString path = directory.filePath("defaults.conf");
  const Date moment = Date(std::chrono::milliseconds(1'767'225'600'123));
  {
    QSettingsDefaults defaults(path);
    defaults.setData("sponsorPreferencesV1.app.nimbrella.Nimbrella", bytesOf("{\"a\":[1,2]}"));
    defaults.setBoolean("menubarSponsorshipConsentV1", true);
    defaults.setBoolean("menubarSponsorshipPaused", false);
    defaults.setText("apiBaseURL", "http://127.0.0.1:3217");
    defaults.setText("odd", "@at the start");
    defaults.setDate("menubarSnoozedUntil", moment);
    defaults.setText("gone", "x");
    defaults.remove("gone");
  }
  QSettingsDefaults defaults(path);
  EXPECT_EQ(defaults.data("sponsorPreferencesV1.app.nimbrella.Nimbrella"), bytesOf("{\"a\":[1,2]}"));
  EXPECT_EQ(defaults.boolean("menubarSponsorshipConsentV1"), true);
  EXPECT_EQ(defaults.boolean("menubarSponsorshipPaused"), false);
  EXPECT_EQ(defaults.text("apiBaseURL"), "http://127.0.0.1:3217");
  EXPECT_EQ(defaults.text("odd"), "@at the start");
  EXPECT_EQ(defaults.date("menubarSnoozedUntil"), moment);
  EXPECT_FALSE(defaults.contains("gone"));
  // Another kind answers nothing.
  EXPECT_EQ(defaults.date("apiBaseURL"), std::nullopt);
  EXPECT_EQ(defaults.text("menubarSnoozedUntil"), std::nullopt);
  EXPECT_EQ(defaults.data("apiBaseURL"), std::nullopt);
  EXPECT_EQ(defaults.boolean("apiBaseURL"), std::nullopt);
  EXPECT_EQ(defaults.boolean("missing"), std::nullopt);
}

TEST(LinuxPlatform, PreferredLanguagesFollowTheLocaleEnvironmentInOrder) {
  const auto from = [](std::map<std::string, std::string> values) {
    return preferredLanguagesFrom([&values](const char* variable) -> const char* {
      const auto found = values.find(variable);
      return found == values.end() ? nullptr : found->second.c_str();
    });
  };
  EXPECT_EQ(from({{"LANGUAGE", "it:en_GB::de"}, {"LC_ALL", "fr_FR.UTF-8"}, {"LANG", "it"}}),
            (std::vector<std::string>{"it", "en_GB", "de", "fr_FR.UTF-8"}));
  EXPECT_EQ(from({{"LC_MESSAGES", "it_IT.UTF-8"}, {"LANG", "en_US.UTF-8"}}),
            (std::vector<std::string>{"it_IT.UTF-8", "en_US.UTF-8"}));
  EXPECT_EQ(from({{"LC_ALL", "C"}, {"LANG", "C.UTF-8"}}), std::vector<std::string>{});
}

}  // namespace
}  // namespace nimbrella
