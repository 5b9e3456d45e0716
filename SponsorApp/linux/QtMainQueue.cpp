#include "SponsorApp/linux/QtMainQueue.hpp"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace nimbrella {

namespace {

int milliseconds(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0) return 0;
  const double ms = std::ceil(seconds * 1000.0);
  return ms >= static_cast<double>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                     : static_cast<int>(ms);
}

class QtRepeatingTimer final : public RepeatingTimer {
 public:
  QtRepeatingTimer(QObject* parent, int interval, std::function<void()> task) : timer_(new QTimer(parent)) {
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(interval);
    QObject::connect(timer_, &QTimer::timeout, timer_, [task = std::move(task)]() { task(); });
    timer_->start();
  }
  ~QtRepeatingTimer() override { invalidate(); }
  QtRepeatingTimer(const QtRepeatingTimer&) = delete;
  QtRepeatingTimer& operator=(const QtRepeatingTimer&) = delete;

  void invalidate() override {
    if (timer_) {
      timer_->stop();
      timer_->deleteLater();
      timer_.clear();
    }
  }
  bool isValid() const override { return !timer_.isNull() && timer_->isActive(); }

 private:
  QPointer<QTimer> timer_;
};

}  // namespace

QtMainQueue::QtMainQueue() : context_(std::make_unique<QObject>()) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(std::function<void()> task) {
  QMetaObject::invokeMethod(context_.get(), std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(double seconds, std::function<void()> task) {
  QTimer::singleShot(milliseconds(seconds), Qt::PreciseTimer, context_.get(), std::move(task));
}

std::unique_ptr<RepeatingTimer> QtMainQueue::scheduleRepeating(double seconds, std::function<void()> task) {
  return std::make_unique<QtRepeatingTimer>(context_.get(), std::max(1, milliseconds(seconds)), std::move(task));
}

}  // namespace nimbrella
