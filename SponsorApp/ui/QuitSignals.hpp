#pragma once

// Turns SIGINT, SIGTERM and SIGHUP into a call on the Qt event loop, so that a quit by
// signal runs the same orderly shutdown as a quit from the menu.

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace nimbrella {

class QuitSignals final : public QObject {
 public:
  // Installs the handlers; `quit` runs on the event loop once per signal received.
  // Only one instance may exist at a time.
  explicit QuitSignals(std::function<void(int signal)> quit, QObject* parent = nullptr);
  ~QuitSignals() override;
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;

 private:
  void readSignal();

  std::function<void(int)> quit_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace nimbrella
