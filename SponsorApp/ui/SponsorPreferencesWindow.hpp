#pragma once

// "Sponsors and hours": the application's one ordinary window, editing the weekly
// schedule and the hidden sponsors. Every change is saved at once through the
// controller; a change the controller could not save shows its error and the controls
// go back to the saved value. Closing only hides the window: the controller keeps it
// for the life of the process.

#include "SponsorApp/AppModel.hpp"
#include "SponsorApp/ui/KeptWindow.hpp"
#include "SponsorCore/SponsorPreferences.hpp"

#include <array>
#include <functional>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QTimeEdit;
class QVBoxLayout;

namespace nimbrella {

class SponsorPreferencesWindow final : public KeptWindow, public PreferencesWindow {
 public:
  static constexpr int width = 480;
  static constexpr int height = 650;

  // Saves a change and tells whether it was saved; the controller's update by default.
  using Saver = std::function<bool(const AppModel::PreferencesChange&)>;

  explicit SponsorPreferencesWindow(AppModel& model, Saver saver = {});
  ~SponsorPreferencesWindow() override;
  SponsorPreferencesWindow(const SponsorPreferencesWindow&) = delete;
  SponsorPreferencesWindow& operator=(const SponsorPreferencesWindow&) = delete;

  void show() override;

 private:
  void save(const AppModel::PreferencesChange& change);
  // Sets every control and text from the controller's current value and language.
  void synchronize();
  void rebuildExclusions(const std::vector<BlockedSponsor>& exclusions);

  AppModel& model_;
  Saver saver_;
  AppModel::ObserverId observer_ = 0;
  QLabel* intro_ = nullptr;
  QGroupBox* hours_ = nullptr;
  QCheckBox* schedule_ = nullptr;
  std::array<QCheckBox*, 7> days_{};
  QLabel* fromLabel_ = nullptr;
  QLabel* untilLabel_ = nullptr;
  QTimeEdit* from_ = nullptr;
  QTimeEdit* until_ = nullptr;
  QLabel* zone_ = nullptr;
  QLabel* note_ = nullptr;
  QLabel* pauseNote_ = nullptr;
  QGroupBox* hidden_ = nullptr;
  QVBoxLayout* exclusionRows_ = nullptr;
  QLabel* limit_ = nullptr;
  QLabel* error_ = nullptr;
  std::vector<BlockedSponsor> shownExclusions_;
  bool exclusionsBuilt_ = false;
  AppLanguage shownLanguage_ = AppLanguage::en;
};

}  // namespace nimbrella
