#include "Medley/Sources/Screen/DisplayLink.h"

namespace medley {

DisplayLink::DisplayLink(std::shared_ptr<platform::SerialQueue> queue, Handler handler, double refreshRate)
    : queue_(std::move(queue)), handler_(std::move(handler)), refreshRate_(refreshRate > 0 ? refreshRate : kDefaultRefreshRate) {}

DisplayLink::~DisplayLink() { invalidate(); }

bool DisplayLink::isPaused() const {
  std::lock_guard lock(mutex_);
  return paused_;
}

void DisplayLink::setPaused(bool paused) {
  std::unique_ptr<platform::RepeatingTimer> stopped;
  {
    std::lock_guard lock(mutex_);
    if (paused_ == paused) return;
    paused_ = paused;
    if (paused) stopped = std::move(timer_);
  }
  if (!paused) startTimer();
}

int DisplayLink::preferredFramesPerSecond() const {
  std::lock_guard lock(mutex_);
  return preferredFramesPerSecond_;
}

void DisplayLink::setPreferredFramesPerSecond(int fps) {
  std::lock_guard lock(mutex_);
  if (preferredFramesPerSecond_ == fps) return;
  preferredFramesPerSecond_ = fps;
  // 0 asks for every refresh, whether the link starts there or comes back to it.
  frameInterval_ = fps > 0 ? 1.0 / fps : 0;
}

double DisplayLink::frameInterval() const {
  std::lock_guard lock(mutex_);
  return frameInterval_;
}

double DisplayLink::timestamp() const {
  std::lock_guard lock(mutex_);
  return timestamp_;
}

double DisplayLink::targetTimestamp() const {
  std::lock_guard lock(mutex_);
  return targetTimestamp_;
}

void DisplayLink::add() {
  {
    std::lock_guard lock(mutex_);
    added_ = true;
  }
  startTimer();
}

void DisplayLink::invalidate() {
  std::unique_ptr<platform::RepeatingTimer> stopped;
  {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
    stopped = std::move(timer_);
  }
  if (stopped) stopped->cancel();
}

void DisplayLink::startTimer() {
  std::lock_guard lock(mutex_);
  if (!added_ || paused_ || invalidated_ || timer_) return;
  const auto interval = static_cast<platform::Nanos>(1e9 / refreshRate_);
  std::weak_ptr<DisplayLink> weak = weak_from_this();
  timer_ = platform::RepeatingTimer::start(queue_, interval, interval, [weak] {
    if (auto link = weak.lock()) link->refresh();
  });
}

void DisplayLink::refresh() {
  const double t = platform::toSeconds(queue_->now());
  {
    std::lock_guard lock(mutex_);
    if (invalidated_ || paused_) return;
    if (frameInterval_ != 0 && hasFired_ && !(t - timestamp_ >= frameInterval_ - kIntervalTolerance)) return;
    hasFired_ = true;
    timestamp_ = t;
    targetTimestamp_ = t + frameInterval_;
  }
  if (handler_) handler_(*this);
}

}  // namespace medley
