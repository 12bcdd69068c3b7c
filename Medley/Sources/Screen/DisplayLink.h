#pragma once
// The screen's refresh as a tick source: a repeating timer on the runtime at the
// refresh rate (60 Hz unless told otherwise). Each refresh that fires calls the
// handler, on the link's queue, with the link's timestamp (host seconds) and
// targetTimestamp (timestamp + frameInterval). With preferredFramesPerSecond > 0
// a refresh fires only once 1/fps seconds passed since the last one that fired;
// with 0 every refresh fires and frameInterval is 0.
#include <functional>
#include <memory>
#include <mutex>

#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace medley {

class DisplayLink : public std::enable_shared_from_this<DisplayLink> {
 public:
  static constexpr double kDefaultRefreshRate = 60;
  // A refresh up to this early still counts as a whole frame interval: the timer's
  // nanosecond grid makes two 60 Hz refreshes a few nanoseconds short of 1/30 s.
  static constexpr double kIntervalTolerance = 0.001;

  using Handler = std::function<void(const DisplayLink&)>;

  // Not started: see add().
  DisplayLink(std::shared_ptr<platform::SerialQueue> queue, Handler handler,
              double refreshRate = kDefaultRefreshRate);
  ~DisplayLink();
  DisplayLink(const DisplayLink&) = delete;
  DisplayLink& operator=(const DisplayLink&) = delete;

  double refreshRate() const { return refreshRate_; }

  bool isPaused() const;
  // From true to false starts the link; true stops its refreshes.
  void setPaused(bool paused);

  int preferredFramesPerSecond() const;
  // A change sets frameInterval to 1/fps, or to 0 (every refresh) for 0 or less.
  void setPreferredFramesPerSecond(int fps);
  double frameInterval() const;

  // Of the last refresh that fired.
  double timestamp() const;
  double targetTimestamp() const;
  double duration() const { return 0; }

  // Starts the refreshes unless paused.
  void add();
  // Stops the refreshes for good.
  void invalidate();

 private:
  void refresh();
  void startTimer();

  const std::shared_ptr<platform::SerialQueue> queue_;
  const Handler handler_;
  const double refreshRate_;

  mutable std::mutex mutex_;
  bool paused_ = false;
  bool added_ = false;
  bool invalidated_ = false;
  int preferredFramesPerSecond_ = 0;
  double frameInterval_ = 0;
  double timestamp_ = 0;
  double targetTimestamp_ = 0;
  bool hasFired_ = false;
  std::unique_ptr<platform::RepeatingTimer> timer_;
};

}  // namespace medley
