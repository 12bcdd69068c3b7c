#pragma once
// The shared screen seen as a camera. The screen delivers frames only when it
// changes; this forwards each new frame at once and, whenever the screen has been
// quiet for 30 ms, re-sends the latest frame with a fresh time on a 1/30 s timer,
// so a still screen arrives as a steady stream whose times always increase.
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Dispatch/RepeatingTimer.h"
#include "Quarzadel/Capture/ScreenFrames.h"
#include "Quarzadel/Program/VideoFrameSource.h"

namespace quarzadel {

class ScreenFrameSource final : public VideoFrameSource, public std::enable_shared_from_this<ScreenFrameSource> {
 public:
  static constexpr const char* kSourceID = "screen-share";
  static constexpr const char* kDefaultName = "Shared Screen";
  static constexpr double kResendPeriod = 1.0 / 30.0;
  static constexpr double kQuietThreshold = 0.03;
  static constexpr double kMinimumStep = 0.001;

  // `displayName` none gives "Shared Screen".
  ScreenFrameSource(std::shared_ptr<ScreenFrames> frames, std::optional<std::string> displayName = std::nullopt);
  ~ScreenFrameSource() override;

  std::string sourceID() const override { return kSourceID; }
  std::string displayName() const override { return displayName_; }
  // Never calls onFailure: the screen share reports its own failures.
  void start(std::shared_ptr<platform::SerialQueue> deliveryQueue, FrameHandler onFrame,
             FailureHandler onFailure) override;
  void stop() override;
  void apply(const StreamConfig&) override {}
  bool prefersFit() const override { return true; }

 private:
  void deliver(const platform::PixelBufferRef& buffer, double pts, double now, const FrameHandler& onFrame);
  void tick(double now, const FrameHandler& onFrame);
  double nextPTS(double pts) const { return pts > lastPTS_ + kMinimumStep ? pts : lastPTS_ + kMinimumStep; }

  std::string displayName_;
  std::shared_ptr<ScreenFrames> frames_;
  std::optional<uint64_t> consumer_;
  std::unique_ptr<platform::RepeatingTimer> timer_;
  // Touched only on the delivery queue.
  double lastPTS_ = -std::numeric_limits<double>::infinity();
  double lastDeliveredAt_ = -std::numeric_limits<double>::infinity();
};

}  // namespace quarzadel
