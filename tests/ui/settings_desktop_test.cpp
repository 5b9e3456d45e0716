// The settings menu, the earnings view and the "Sponsors and hours" window on the test
// desktop, in English and Italian, with a PNG of each state in popover-screenshots/.

#include "SponsorApp/ui/SponsorPreferencesWindow.hpp"
#include "SponsorApp/ui/StatusPopover.hpp"
#include "controller/support/ControllerTest.hpp"
#include "surface/DesktopSession.hpp"
#include "ui/LayoutChecks.hpp"

#include <QAbstractButton>
#include <QDir>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QTimeEdit>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace nimbrella::simulation {
namespace {

class SettingsDesktopTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (const std::string missing = desktop::missingDesktop(); !missing.empty()) GTEST_FAIL() << missing;
    desktop::application();
    world.defaults->setText("appLanguage", GetParam());
  }
  std::string language() const { return GetParam(); }
  std::string meBody(const std::string& extra) const {
    return R"({"deviceId":")" + world.server->deviceId + R"(","balanceMicros":2500000,"mode":"live")" + extra + "}";
  }

  World world;
};

TEST_P(SettingsDesktopTest, TheSettingsMenuOfAnUnpairedAndAPairedComputer) {
  for (const bool paired : {false, true}) {
    World w;
    w.defaults->setText("appLanguage", language());
    if (paired) {
      w.storePairing();
      w.storeConsent();
    }
    AppModel& model = w.build();
    model.start();
    w.settle();
    StatusPopover popover(model, PopoverHooks{"", {}, {}, [](const AlertText&) {}});
    popover.showBelow(QRect(900, 0, 120, 24));
    desktop::pump(100);
    auto* menu = popover.findChild<QMenu*>(QStringLiteral("settings-menu"));
    ASSERT_NE(menu, nullptr);
    menu->popup(popover.findChild<QToolButton*>(QStringLiteral("popup-settings"))->mapToGlobal(QPoint(0, 24)));
    desktop::pump(150);
    // Which entries each state has is the presentation's (settings_test).
    EXPECT_EQ(std::ranges::count_if(menu->actions(), [](QAction* a) { return !a->isSeparator(); }), paired ? 10 : 7);
    EXPECT_TRUE(layout::saveScreenshot(*menu, "settings-" + std::string(paired ? "paired" : "unpaired") + "-" + language()));
    menu->close();
    popover.close();
    desktop::pump(20);
  }
}

TEST_P(SettingsDesktopTest, TheLoginSwitchWritesTheEntryAndAFailureShowsTheAlert) {
  const QString root = QDir::tempPath() + QStringLiteral("/settings-login-") + QString::number(::getpid());
  const std::filesystem::path config = root.toStdString();
  auto login = std::make_shared<LoginItem>(LoginItem::Paths{config / "autostart", {}, QCoreApplication::applicationFilePath().toStdString()});
  std::vector<std::string> alerts;
  AppModel& model = world.build();
  StatusPopover popover(model, PopoverHooks{"", {}, login, [&alerts](const AlertText& a) { alerts.push_back(a.title + ": " + a.text); }});
  popover.showBelow(QRect(900, 0, 120, 24));
  desktop::pump(50);
  auto* menu = popover.findChild<QMenu*>(QStringLiteral("settings-menu"));
  const auto toggle = [menu] {
    emit menu->aboutToShow();
    menu->findChild<QAction*>(QStringLiteral("settings-open-at-login"))->trigger();
  };
  toggle();
  EXPECT_TRUE(login->isEnabled());
  emit menu->aboutToShow();
  EXPECT_TRUE(menu->findChild<QAction*>(QStringLiteral("settings-open-at-login"))->isChecked());
  std::filesystem::remove_all(config);
  std::ofstream(config) << "a file where the folder should be";
  toggle();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0], (language() == "it" ? "Impossibile modificare l’avvio all’accesso" : "Could not change login setting") +
                           std::string(": Not a directory"));
  emit menu->aboutToShow();
  EXPECT_FALSE(menu->findChild<QAction*>(QStringLiteral("settings-open-at-login"))->isChecked());
  std::filesystem::remove_all(config);
  popover.close();
  desktop::pump(20);
}

TEST_P(SettingsDesktopTest, TheEarningsViewInEachState) {
  world.storePairing();
  world.server->scriptHold(mePath);
  AppModel& model = world.build();
  model.start();
  world.settle();
  StatusPopover popover(model, PopoverHooks{"0.1.0", {}, {}, {}});
  const auto show = [&](const std::string& state, std::vector<const char*> identifiers) {
    SCOPED_TRACE(state);
    popover.showBelow(QRect(900, 0, 120, 24));
    desktop::pump(100);
    for (const char* identifier : identifiers) {
      EXPECT_NE(layout::shown<QWidget>(popover, identifier), nullptr) << identifier;
    }
    layout::expectInside(popover);
    EXPECT_TRUE(layout::saveScreenshot(popover, "earnings-" + state + "-" + language()));
  };
  show("loading", {"earnings-loading", "earnings-details"});
  world.server->release(mePath, HttpResponse{200, {}, meBody("")});
  world.settle();
  show("breakdown-missing", {"earnings-breakdown-missing"});
  world.server->scriptStatus(mePath, 200, meBody(R"(,"earnings":{"totalMicros":2500000,"pendingMicros":1250000,)"
                                                 R"("availableMicros":0,"held":true,"payoutReady":false})"));
  model.refresh();
  world.settle();
  show("pending-under-review", {"pending-amount", "rewards-under-review"});

  // A failed refresh: the retry is disabled while it runs and enabled again after.
  world.server->scriptStatus(mePath, 503);
  model.refresh();
  world.settle();
  show("error", {"balance-error", "retry-balance"});
  world.server->scriptHold(mePath);
  ASSERT_NE(layout::shown<QAbstractButton>(popover, "retry-balance"), nullptr);
  layout::shown<QAbstractButton>(popover, "retry-balance")->click();
  desktop::pump(50);
  EXPECT_FALSE(layout::shown<QAbstractButton>(popover, "retry-balance")->isEnabled());
  world.server->release(mePath, HttpResponse{503, {}, "{}"});
  world.settle();
  desktop::pump(50);
  EXPECT_TRUE(layout::shown<QAbstractButton>(popover, "retry-balance")->isEnabled());
  popover.close();
  desktop::pump(20);
}

// The real window behind the controller's preferences-window port.
class PreferencesWindowTest : public SettingsDesktopTest {
 protected:
  AppModel& build() {
    AppModelPorts ports = world.ports();
    ports.makePreferencesWindow = [this](AppModel& m) {
      ++made;
      return std::make_shared<SponsorPreferencesWindow>(m, [this, &m](const AppModel::PreferencesChange& change) {
        return !failSaves && m.updateSponsorPreferences(change);
      });
    };
    model = std::make_unique<AppModel>(ports);
    return *model;
  }
  QWidget* window() const { return dynamic_cast<QWidget*>(model->preferencesWindow()); }
  template <class T>
  T* child(const char* name) const { return window()->findChild<T*>(QString::fromLatin1(name)); }
  void shot(const std::string& state) {
    desktop::pump(100);
    layout::expectInside(*window());
    EXPECT_TRUE(layout::saveScreenshot(*window(), "preferences-" + state + "-" + language()));
  }

  std::unique_ptr<AppModel> model;
  int made = 0;
  bool failSaves = false;
};

TEST_P(PreferencesWindowTest, OneWindowSavesEachChangeAndShowsTheNotes) {
  AppModel& m = build();
  m.showSponsorPreferences();
  m.showSponsorPreferences();
  EXPECT_EQ(made, 1);
  ASSERT_NE(window(), nullptr);
  EXPECT_EQ(window()->size(), QSize(480, 650));
  EXPECT_EQ(window()->windowTitle().toStdString(), language() == "it" ? "Sponsor e orari" : "Sponsors and hours");
  EXPECT_FALSE(child<QLabel>("schedule-note")->isVisible());
  shot("defaults");

  // Schedule on, 12:00 to 12:00: the warning, and sponsors stop.
  child<QCheckBox>("sponsor-schedule")->click();
  child<QTimeEdit>("schedule-from")->setTime(QTime(12, 0));
  child<QTimeEdit>("schedule-until")->setTime(QTime(12, 0));
  EXPECT_TRUE(m.sponsorPreferences().scheduleEnabled);
  EXPECT_EQ(m.sponsorPreferences().startMinute, 720);
  EXPECT_FALSE(m.scheduleAllowsSponsors());
  EXPECT_TRUE(child<QLabel>("schedule-note")->isVisible());
  shot("warning");
  child<QTimeEdit>("schedule-from")->setTime(QTime(22, 0));
  child<QTimeEdit>("schedule-until")->setTime(QTime(6, 0));
  EXPECT_EQ(child<QLabel>("schedule-note")->text().toStdString(),
            language() == "it" ? "La fascia termina il giorno successivo a quelli selezionati."
                               : "The window ends on the day after each selected day.");
  shot("overnight");

  // Exclusions added elsewhere show at once; restoring one keeps the others' order.
  m.updateSponsorPreferences([](SponsorPreferences& p) {
    for (int i = 0; i < 3; ++i) {
      p.addExclusion("6f1c7a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5" + std::to_string(i), "Sponsor " + std::to_string(i));
    }
  });
  desktop::pump(50);
  auto restores = window()->findChildren<QAbstractButton*>(QStringLiteral("restore-sponsor"));
  ASSERT_EQ(restores.size(), 3);
  EXPECT_EQ(restores[1]->accessibleName().toStdString(), (language() == "it" ? "Ripristina " : "Restore ") + std::string("Sponsor 1"));
  shot("three-exclusions");
  restores[1]->click();
  desktop::pump(50);
  ASSERT_EQ(m.sponsorPreferences().blockedSponsors.size(), 2u);
  EXPECT_EQ(m.sponsorPreferences().blockedSponsors[0].name, "Sponsor 0");
  EXPECT_EQ(m.sponsorPreferences().blockedSponsors[1].name, "Sponsor 2");

  // A save that fails shows its error and puts the switch back.
  failSaves = true;
  child<QCheckBox>("sponsor-schedule")->click();
  EXPECT_TRUE(m.sponsorPreferences().scheduleEnabled);
  EXPECT_TRUE(child<QCheckBox>("sponsor-schedule")->isChecked());
  EXPECT_TRUE(child<QLabel>("preferences-error")->isVisible());
  failSaves = false;

  m.updateSponsorPreferences([](SponsorPreferences& p) {
    for (int i = 0; p.blockedSponsors.size() < SponsorPreferences::maxBlockedSponsors; ++i) {
      p.addExclusion("00000000-0000-4000-8000-" + std::string(12 - std::to_string(i).size(), '0') + std::to_string(i),
                     "Sponsor " + std::to_string(i));
    }
  });
  desktop::pump(50);
  EXPECT_TRUE(child<QLabel>("exclusion-limit")->isVisible());
  shot("limit");
  window()->close();
  EXPECT_FALSE(window()->isVisible());
  m.showSponsorPreferences();
  EXPECT_TRUE(window()->isVisible());
  EXPECT_EQ(made, 1);
  window()->close();
  desktop::pump(20);
}

INSTANTIATE_TEST_SUITE_P(Languages, SettingsDesktopTest, ::testing::Values("en", "it"));
INSTANTIATE_TEST_SUITE_P(Languages, PreferencesWindowTest, ::testing::Values("en", "it"));

}  // namespace
}  // namespace nimbrella::simulation
