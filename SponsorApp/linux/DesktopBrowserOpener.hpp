#pragma once

#include "SponsorApp/Ports.hpp"

namespace nimbrella {

// Opens addresses with the desktop's default browser (xdg-open through Qt).
class DesktopBrowserOpener final : public BrowserOpener {
 public:
  void open(const std::string& url) override;
};

}  // namespace nimbrella
