#pragma once

// The composition root: the real adapter of every port the controller needs on a
// Linux desktop, made once and kept for the life of the application.

#include "SponsorApp/AppModel.hpp"
#include "SponsorApp/surface/SurfaceMonitor.hpp"
#include "SponsorApp/surface/WindowServer.hpp"

#include <memory>
#include <optional>
#include <string>

namespace nimbrella {

class X11WindowServer;
class X11SystemEvents;

struct PlatformOptions {
  // A development build's server address, kept as the saved "apiBaseURL" before the
  // controller reads it. Production builds ignore the saved address.
  std::optional<std::string> serverAddress;
};

// What the delegate needs of the platform: the controller's ports, the window server
// and the surface monitor that the ports hold.
class Platform {
 public:
  virtual ~Platform() = default;
  virtual AppModelPorts ports() const = 0;
  virtual WindowServer& windowServer() = 0;
  // The X11 window server when the session is one X11 can prove anything in.
  virtual X11WindowServer* x11() const = 0;
  virtual SurfaceMonitor& monitor() = 0;
};

// The real adapters of a Linux desktop. Needs a QApplication on the session's display.
class DesktopPlatform final : public Platform {
 public:
  explicit DesktopPlatform(const PlatformOptions& options);
  ~DesktopPlatform() override;
  DesktopPlatform(const DesktopPlatform&) = delete;
  DesktopPlatform& operator=(const DesktopPlatform&) = delete;

  AppModelPorts ports() const override { return ports_; }
  WindowServer& windowServer() override { return *windowServer_; }
  X11WindowServer* x11() const override;
  SurfaceMonitor& monitor() override { return *monitor_; }

 private:
  std::unique_ptr<WindowServer> windowServer_;
  AppModelPorts ports_;
  std::shared_ptr<SurfaceMonitor> monitor_;
};

}  // namespace nimbrella
