// The login switch of the settings menu and the "Sponsors and hours" window on the test
// desktop, in English and Italian, with a PNG of each state of the window in
// popover-screenshots/.

#include "SponsorApp/ui/SponsorPreferencesWindow.hpp"
#include "SponsorApp/ui/StatusPopover.hpp"
#include "controller/support/ControllerTest.hpp"
#include "ui/LayoutChecks.hpp"

#include <QCheckBox>
#include <QMenu>
#include <QTimeEdit>

#include <filesystem>
#include <fstream>

namespace nimbrella::simulation {
namespace {

// The real window behind the controller's preferences-window port.
class SettingsDesktopTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    layout::openDesktop();
    world.defaults->setText("appLanguage", GetParam());
  }
  bool italian() const { return GetParam() == std::string("it"); }
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
    EXPECT_TRUE(layout::saveScreenshot(*window(), "preferences-" + state + "-" + GetParam()));
  }
  // Excludes "Sponsor 0", "Sponsor 1" and on, as the popover does, until `size` are.
  void excludeUpTo(std::size_t size) {
    model->updateSponsorPreferences([size](SponsorPreferences& p) {
      for (int i = 0; p.blockedSponsors.size() < size; ++i) {
        const std::string n = std::to_string(i);
        p.addExclusion("00000000-0000-4000-8000-" + std::string(12 - n.size(), '0') + n, "Sponsor " + n);
      }
    });
    desktop::pump(50);
  }

  World world;
  std::unique_ptr<AppModel> model;
  int made = 0;
  bool failSaves = false;
};

TEST_P(SettingsDesktopTest, TheLoginSwitchWritesTheEntryAndAFailureShowsTheAlert) {
  const QTemporaryDir root;
  const std::filesystem::path config = root.filePath(QStringLiteral("config")).toStdString();
  const std::string program = QCoreApplication::applicationFilePath().toStdString();
  auto login = std::make_shared<LoginItem>(LoginItem::Paths{config / "autostart", {}, program});
  std::vector<std::string> alerts;
  const auto alert = [&alerts](const AlertText& a) { alerts.push_back(a.title + ": " + a.text); };
  StatusPopover popover(world.build(), PopoverHooks{"", {}, login, alert});
  popover.showBelow(layout::itemFrame);
  desktop::pump(50);
  // The switch as the menu shows it: it reads the entry again each time it opens.
  const auto loginSwitch = [menu = popover.findChild<QMenu*>(QStringLiteral("settings-menu"))] {
    emit menu->aboutToShow();
    return menu->findChild<QAction*>(QStringLiteral("settings-open-at-login"));
  };
  loginSwitch()->trigger();
  EXPECT_TRUE(login->isEnabled());
  EXPECT_TRUE(loginSwitch()->isChecked());
  std::filesystem::remove_all(config);
  std::ofstream(config) << "a file where the folder should be";
  loginSwitch()->trigger();
  const std::string title = italian() ? "Impossibile modificare l’avvio all’accesso" : "Could not change login setting";
  EXPECT_EQ(alerts, std::vector<std::string>{title + ": Not a directory"});
  EXPECT_FALSE(loginSwitch()->isChecked());
  popover.close();
  desktop::pump(20);
}

TEST_P(SettingsDesktopTest, OneSponsorsAndHoursWindowSavesEachChangeAndShowsTheNotes) {
  AppModel& m = build();
  m.showSponsorPreferences();
  m.showSponsorPreferences();
  ASSERT_NE(window(), nullptr);
  EXPECT_EQ(window()->size(), QSize(480, 650));
  EXPECT_EQ(window()->windowTitle().toStdString(), italian() ? "Sponsor e orari" : "Sponsors and hours");
  EXPECT_FALSE(child<QLabel>("schedule-note")->isVisible());
  shot("defaults");

  // Schedule on, 12:00 to 12:00: saved, and the warning.
  child<QCheckBox>("sponsor-schedule")->click();
  child<QTimeEdit>("schedule-from")->setTime(QTime(12, 0));
  child<QTimeEdit>("schedule-until")->setTime(QTime(12, 0));
  const SponsorPreferences& saved = m.sponsorPreferences();
  EXPECT_EQ(std::tuple(saved.scheduleEnabled, saved.startMinute, saved.endMinute),
            std::tuple(true, 720, 720));
  EXPECT_TRUE(child<QLabel>("schedule-note")->isVisible());
  shot("warning");
  child<QTimeEdit>("schedule-from")->setTime(QTime(22, 0));
  child<QTimeEdit>("schedule-until")->setTime(QTime(6, 0));
  EXPECT_EQ(child<QLabel>("schedule-note")->text().toStdString(),
            italian() ? "La fascia termina il giorno successivo a quelli selezionati."
                      : "The window ends on the day after each selected day.");
  shot("overnight");

  // Exclusions added elsewhere show at once; restoring one keeps the others' order.
  excludeUpTo(3);
  auto restores = window()->findChildren<QAbstractButton*>(QStringLiteral("restore-sponsor"));
  ASSERT_EQ(restores.size(), 3);
  EXPECT_EQ(restores[1]->accessibleName().toStdString(), (italian() ? "Ripristina " : "Restore ") + std::string("Sponsor 1"));
  shot("three-exclusions");
  restores[1]->click();
  desktop::pump(50);
  const auto& blocked = m.sponsorPreferences().blockedSponsors;
  ASSERT_EQ(blocked.size(), 2u);
  EXPECT_EQ(blocked[0].name + ", " + blocked[1].name, "Sponsor 0, Sponsor 2");

  // A save that fails shows its error and puts the switch back.
  failSaves = true;
  child<QCheckBox>("sponsor-schedule")->click();
  EXPECT_TRUE(child<QCheckBox>("sponsor-schedule")->isChecked());
  EXPECT_TRUE(child<QLabel>("preferences-error")->isVisible());
  failSaves = false;

  excludeUpTo(SponsorPreferences::maxBlockedSponsors);
  EXPECT_TRUE(child<QLabel>("exclusion-limit")->isVisible());
  shot("limit");
  // Shown twice and again after closing, it is still the one window.
  window()->close();
  m.showSponsorPreferences();
  EXPECT_TRUE(window()->isVisible());
  EXPECT_EQ(made, 1);
  window()->close();
  desktop::pump(20);
}

INSTANTIATE_TEST_SUITE_P(Languages, SettingsDesktopTest, ::testing::Values("en", "it"));

}  // namespace
}  // namespace nimbrella::simulation
