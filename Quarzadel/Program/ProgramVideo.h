#pragma once
// The one program picture of a Studio. One picture source is on air; a switch
// opens the next source beside it and puts it on air once it delivers (at once
// when nothing healthy is on air, else after 0.5 s of its frames), with a cut or
// a 0.35 s dissolve. Every on-air frame that comes at least three quarters of a
// frame interval after the last output is rendered and handed on at once,
// stamped with the frame's own host-clock time. A tick on a 20 ms grid times out
// switches, ends dissolves, and while the source is silent holds the last picture
// by repeating it at the frame rate and reports the stall; it runs only at the
// grid instants where one of these can fall due, so a steady live picture costs
// none (a deadline pushed back by each frame is looked at again only when its
// armed instant comes, not at each frame). The repeats run a hold
// threshold behind the clock; when live frames return, the slots between the
// last repeat and the live frame's own time get the held picture too, so the
// program's times never jump. Everything runs on the program picture's own
// queue.
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Dispatch/GridTimer.h"
#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/HostClock.h"
#include "Quarzadel/Program/ProgramEvent.h"
#include "Quarzadel/Program/ProgramRenderer.h"
#include "Quarzadel/Program/StreamConfig.h"
#include "Quarzadel/Program/VideoFrameSource.h"

namespace quarzadel {

class ProgramVideo : public std::enable_shared_from_this<ProgramVideo> {
 public:
  using Event = ProgramEvent;

  using OutputHandler = std::function<void(const platform::SampleBufferRef& frame)>;
  using EventHandler = std::function<void(const Event& event)>;

  static constexpr double kTickInterval = 0.02;
  static constexpr double kFirstTick = 0.04;
  static constexpr double kDissolveSeconds = ProgramRenderer::kDissolveSeconds;
  static constexpr double kThinning = 0.75;          // of the frame interval
  static constexpr double kGoOnAirAfter = 0.5;       // of frames from the next source, while one is healthy
  static constexpr double kPendingTimeout = 8.0;
  static constexpr double kStallAfter = 2.0;
  static constexpr double kReopenAfter = 1.0;
  static constexpr double kSlowRender = 0.05;
  static constexpr int kMaxRepeatsPerTick = 3;
  // Coming back from a hold, a gap longer than this is left as it is (a restart).
  static constexpr double kMaxHeldFill = 1.0;
  static constexpr const char* kStoppedSendingVideo = "It stopped sending video.";
  static constexpr const char* kDidNotSendVideo = " didn't send any video.";

  static std::shared_ptr<ProgramVideo> make(StreamConfig config, Framing framing, CameraTransition transitionStyle,
                                            std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  ProgramVideo(StreamConfig config, Framing framing, CameraTransition transitionStyle,
               std::shared_ptr<platform::Runtime> runtime);
  ProgramVideo(const ProgramVideo&) = delete;
  ProgramVideo& operator=(const ProgramVideo&) = delete;
  ~ProgramVideo();

  // Set once, before start(); called on queue().
  OutputHandler onOutput;
  EventHandler onEvent;
  // Times renders for the slow-render line: renders are real work, timed on the
  // real clock even under virtual time. Set before start().
  std::shared_ptr<const platform::Clock> renderClock = platform::HostClock::shared();

  // Each operation returns at once; its work runs on queue() in call order.
  void start();
  void switchTo(std::shared_ptr<VideoFrameSource> source);
  // Reopens the on-air source with a new object for the same device.
  void restart(std::shared_ptr<VideoFrameSource> source);
  // Reopens the on-air source when it has been silent for more than a second.
  void reopenIfStalled(std::shared_ptr<VideoFrameSource> source);
  void setFraming(Framing framing);
  void setTransitionStyle(CameraTransition style);
  void setConfig(const StreamConfig& config);
  void stop();

  const std::shared_ptr<platform::SerialQueue>& queue() const { return queue_; }

  // Read on queue().
  int64_t emittedFrames() const { return emittedFrames_; }
  int64_t repeatedFrames() const { return repeatedFrames_; }
  int64_t ticks() const { return ticks_; }

 private:
  struct Slot {
    explicit Slot(std::shared_ptr<VideoFrameSource> s, double now) : source(std::move(s)), requestedAt(now) {}
    std::shared_ptr<VideoFrameSource> source;
    double requestedAt;
    platform::PixelBufferRef latest;
    double latestPTS = -std::numeric_limits<double>::infinity();
    double previousPTS = -std::numeric_limits<double>::infinity();
    std::optional<double> firstFrameAt;
    int64_t frameCount = 0;
    bool failed = false;
  };
  using SlotRef = std::shared_ptr<Slot>;

  struct Transition {
    SlotRef from;
    std::optional<double> start;  // the first live frame of the new on-air slot
    double duration = 0;
  };

  double now() const { return queue_->runtime()->nowSeconds(); }
  double interval() const { return 1.0 / config_.frameRate; }
  Transition makeTransition(SlotRef from) const;

  void tick();
  // The earliest host time at which tick() can have work: a time-out, the end
  // of a dissolve, the hold, a stall report or the next repeat.
  double nextTickDue() const;
  // Arms the tick for the first grid instant at or after nextTickDue().
  void scheduleTick();
  double holdThreshold() const;
  void openPending(std::shared_ptr<VideoFrameSource> source);
  void handleFrame(const SlotRef& slot, platform::PixelBufferRef buffer, double pts);
  void slotFailed(const SlotRef& slot, const std::string& reason);
  void goOnAir();
  void reopenSlot(const SlotRef& slot, std::shared_ptr<VideoFrameSource> source);
  bool emit(bool repeated, double pts, double now);
  // Hands `buffer` on stamped `pts`; false when no sample buffer can be made.
  bool publish(platform::PixelBufferRef buffer, bool repeated, double pts, double now);
  // The held picture in every slot from the last output up to a live frame at `pts`.
  void fillHeldSlots(double pts, double now);
  platform::PixelBufferRef renderProgram(double now);
  void send(const Event& event);

  const std::shared_ptr<platform::SerialQueue> queue_;
  StreamConfig config_;
  CameraTransition transitionStyle_;
  ProgramRenderer renderer_;
  SlotRef active_;
  SlotRef pending_;
  std::optional<Transition> transition_;
  double lastOutputPTS_ = -std::numeric_limits<double>::infinity();
  platform::PixelBufferRef lastOutput_;
  double lastEmitHost_ = 0;
  double latencyEstimate_ = 0.03;
  std::unique_ptr<platform::GridTimer> watchdog_;
  bool running_ = false;
  bool holding_ = true;
  bool stallReported_ = false;
  double lastRealFrameHost_ = 0;
  double lastArrivalHost_ = 0;
  double sourceInterval_ = 1.0 / 30;
  int64_t emittedFrames_ = 0;
  int64_t repeatedFrames_ = 0;
  int64_t ticks_ = 0;
};

}  // namespace quarzadel
