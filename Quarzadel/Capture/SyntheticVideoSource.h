#pragma once
// A synthetic camera: a flat field of its colour with a white bar sweeping
// across once every 2 s and one all-white frame at every even second of the host
// clock (the noise camera: random grey noise with the same bar and flash, or a
// raw clip instead). Frames are stamped on a fixed grid of its frame rate and
// drawn once per slot, `latency` after the slot begins, on the consumer's
// delivery queue and handed over in the same job: a picture wakes one worker,
// not a render worker and then the consumer's. Faults injected through
// SyntheticSources make it suspended, hung, unplugged or frozen.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Media/PixelBufferPool.h"
#include "Quarzadel/Capture/SyntheticClip.h"
#include "Quarzadel/Program/NV12Frame.h"
#include "Quarzadel/Program/VideoFrameSource.h"

namespace quarzadel {

class SyntheticVideoSource final : public VideoFrameSource,
                                   public std::enable_shared_from_this<SyntheticVideoSource> {
 public:
  struct Color {
    double red, green, blue;
  };
  struct Spec {
    std::string id;
    std::string name;
    int width = 0;
    int height = 0;
    double fps = 30;
    Color color{0, 0, 0};
    double latency = 0;  // seconds from a frame's stamp to its delivery
    bool noise = false;
  };

  // The first frame comes from the first grid slot at least this long after start.
  static constexpr double kFirstFire = 0.4;
  // How long after a slot's instant (plus the latency) its frame is drawn.
  static constexpr double kFireAfterSlot = 0.001;
  // Pictures held downstream through a stall grow the pool; what it grew by
  // is freed once idle this long.
  static constexpr double kPoolIdleReleaseSeconds = 3;
  static constexpr const char* kDisconnected = " was disconnected.";

  // `clip` (the noise camera's) defaults to the process's SyntheticSources::clip().
  static std::shared_ptr<SyntheticVideoSource> make(Spec spec,
                                                    std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  static std::shared_ptr<SyntheticVideoSource> make(Spec spec, std::shared_ptr<platform::Runtime> runtime,
                                                    std::shared_ptr<const SyntheticClip> clip);
  SyntheticVideoSource(Spec spec, std::shared_ptr<platform::Runtime> runtime, std::shared_ptr<const SyntheticClip> clip);
  ~SyntheticVideoSource() override;

  std::string sourceID() const override { return spec_.id; }
  std::string displayName() const override { return spec_.name; }
  void start(std::shared_ptr<platform::SerialQueue> deliveryQueue, FrameHandler onFrame,
             FailureHandler onFailure) override;
  void stop() override;
  void apply(const StreamConfig&) override {}
  bool prefersFit() const override { return false; }

  const Spec& spec() const { return spec_; }
  // No frames stamped before this host time (seconds).
  void freezeUntil(double hostSeconds) { frozenUntil_.store(hostSeconds); }
  double frozenUntil() const { return frozenUntil_.load(); }

  // Draws the picture for host time t; none without a buffer. From one thread
  // at a time: the delivery queue while started.
  platform::PixelBufferRef render(double t);

  // The colour in BT.709 video range.
  static YCbCr yCbCr(const Color& color) { return bt709VideoRange(color.red, color.green, color.blue); }
  // Width of the sweeping bar.
  static int barWidth(int width) { return width >= 40 ? width / 20 : 2; }

 private:
  friend class SyntheticSources;
  void tick(double interval, const FrameHandler& onFrame);
  // Calls the consumer's failure callback on its queue (under SyntheticSources' live lock).
  FailureHandler onFailure_;

  const Spec spec_;
  const std::shared_ptr<platform::Runtime> runtime_;
  const std::shared_ptr<const SyntheticClip> clip_;
  std::shared_ptr<platform::PixelBufferPool> pool_;
  std::unique_ptr<platform::RepeatingTimer> timer_;
  std::atomic<double> frozenUntil_{0};
  int64_t lastGridIndex_ = -1;

  // What each pool buffer holds from its last drawing, so that a test pattern
  // redraws only the bar's old and new columns. Buffers handed on are never
  // written by anyone else. The pool frees buffers it grew by once they are
  // idle, so a buffer is named by its serial: a new one at a freed one's
  // address is drawn whole. Used by render() only.
  struct Drawn {
    YCbCr color;
    int barX = -1;  // -1: no bar (a flash frame)
  };
  std::unordered_map<uint64_t, Drawn> drawn_;
};

}  // namespace quarzadel
