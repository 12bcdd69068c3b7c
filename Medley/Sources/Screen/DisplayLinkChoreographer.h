#pragma once
// Turns the display link's refreshes into a sequence of DisplayLinkTime values.
// Owns one link while running. Each updateFrames() read makes a new sequence
// that takes over the ticks (the one before ends); stopRunning() finishes the
// current one. Ticks are
// buffered without bound, so a slow reader gets every one later. Thread-safe.
#include <memory>
#include <mutex>
#include <optional>

#include "Medley/Sources/Screen/DisplayLink.h"
#include "Medley/Sources/Screen/DisplayLinkTime.h"
#include "Medley/Sources/Stream/Runner.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Dispatch/Runtime.h"

namespace medley {

class DisplayLinkChoreographer final : public Runner, public std::enable_shared_from_this<DisplayLinkChoreographer> {
 public:
  explicit DisplayLinkChoreographer(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared(),
                                    double refreshRate = DisplayLink::kDefaultRefreshRate);
  ~DisplayLinkChoreographer() override;

  int preferredFramesPerSecond() const;
  // Reaches the running link at once; 0 means every refresh.
  void setPreferredFramesPerSecond(int fps);

  bool isRunning() const override;
  void startRunning() override;
  void stopRunning() override;

  // A new sequence of ticks; the one read before ends.
  platform::AsyncStream<DisplayLinkTime> updateFrames();

  // The running link, or none.
  std::shared_ptr<DisplayLink> displayLink() const;

 private:
  void update(const DisplayLink& link);
  void replaceDisplayLink(std::shared_ptr<DisplayLink> link);

  const std::shared_ptr<platform::Runtime> runtime_;
  const double refreshRate_;
  mutable std::mutex mutex_;
  int preferredFramesPerSecond_ = 0;
  bool isRunning_ = false;
  std::shared_ptr<DisplayLink> displayLink_;
  std::optional<platform::AsyncStreamWriter<DisplayLinkTime>> continuation_;
};

}  // namespace medley
