#pragma once

// The updater's dialogs: a verified update offered with "Install" and "Later", and the
// outcome of a check the user asked for, in the user's language.

#include "SponsorApp/linux/QtSoftwareUpdater.hpp"
#include "SponsorCore/AppLanguage.hpp"

#include <functional>

namespace nimbrella {

class DialogUpdatePrompt final : public UpdatePrompt {
 public:
  explicit DialogUpdatePrompt(std::function<AppLanguage()> language) : language_(std::move(language)) {}
  void offer(const UpdateManifest& update, std::function<void(bool install)> answer) override;
  void report(const std::string& message) override;

 private:
  std::function<AppLanguage()> language_;
};

}  // namespace nimbrella
