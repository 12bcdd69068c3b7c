#pragma once
// The one program sound of a Studio: 48 kHz stereo float buffers stamped on a
// host-clock timeline, fed from whichever sound source is on air. A switch opens
// the next source beside the current one and cuts to it at its first buffer,
// fading it in over 10 ms. A watchdog on a 20 ms grid fills silence while nothing
// arrives, reports a silent on-air source, and gives up on a pending source that
// never delivers; while sound flows it runs only where one of these can fall due.
// Every state change runs on the program sound's own queue.
#include <memory>
#include <string>

#include "Platform/Dispatch/GridTimer.h"
#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Time/AudioTime.h"
#include "Quarzadel/Program/AudioFrameSource.h"
#include "Quarzadel/Program/AudioLevel.h"
#include "Quarzadel/Program/AudioLevelMeter.h"
#include "Quarzadel/Program/ProgramEvent.h"
#include "Quarzadel/Program/ProgramAudioConverter.h"
#include "Quarzadel/Program/ProgramAudioTimeline.h"

namespace quarzadel {

class ProgramAudio : public std::enable_shared_from_this<ProgramAudio> {
 public:
  using Event = ProgramEvent;

  using OutputHandler = std::function<void(const platform::PCMBufferRef& buffer, const platform::AudioTime& time)>;
  using LevelHandler = std::function<void(AudioLevel level)>;
  using EventHandler = std::function<void(const Event& event)>;

  static constexpr double kTickInterval = 0.02;
  static constexpr double kAnchorDelay = 0.5;       // silence starts this long after start() without sound
  static constexpr double kOutputLatency = 0.08;    // silence keeps the stream this far behind the host clock
  static constexpr double kSilenceAfter = 0.12;     // nothing arrived for this long: fill silence
  static constexpr double kStallAfter = 2.0;        // on-air source's sound ran out this long ago: report it
  static constexpr double kPendingTimeout = 8.0;    // pending source that never delivers: give up
  static constexpr double kFutureStampLimit = 0.5;  // a stamp further ahead of now is not believed
  static constexpr const char* kStoppedSendingAudio = "It stopped sending audio.";

  static std::shared_ptr<ProgramAudio> make(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  explicit ProgramAudio(std::shared_ptr<platform::Runtime> runtime);
  ProgramAudio(const ProgramAudio&) = delete;
  ProgramAudio& operator=(const ProgramAudio&) = delete;

  // Set once, before start(); called on queue().
  OutputHandler onOutput;
  LevelHandler onLevel;
  EventHandler onEvent;

  // Each operation returns at once; its work runs on queue() in call order.
  void start();
  void switchTo(std::shared_ptr<AudioFrameSource> source);
  // Reopens the on-air microphone with a new source object for it; a switch
  // that has not gone on air yet is dropped, without an event.
  void restart(std::shared_ptr<AudioFrameSource> source);
  void setMuted(bool muted);
  void stop();

  const std::shared_ptr<platform::SerialQueue>& queue() const { return queue_; }
  // Watchdog runs so far; read on queue().
  int64_t ticks() const { return ticks_; }
  static const platform::AudioFormat& outputFormat() { return ProgramAudioTimeline::outputFormat(); }

 private:
  struct Slot {
    std::shared_ptr<AudioFrameSource> source;
    double requestedAt = 0;
    bool failed = false;
    bool reopens = false;  // made by restart(): the on-air microphone opened anew
  };
  using SlotRef = std::shared_ptr<Slot>;

  double now() const;
  void send(const Event& event);
  void openPending(std::shared_ptr<AudioFrameSource> source, bool reopens);
  void doSwitch(std::shared_ptr<AudioFrameSource> source);
  void doRestart(std::shared_ptr<AudioFrameSource> source);
  void doStop();
  void handleBuffer(const SlotRef& slot, const platform::PCMBufferRef& buffer, double hostTime);
  void slotFailed(const SlotRef& slot, const std::string& reason);
  void goOnAir(const SlotRef& slot);
  void tick();
  // The watchdog's checks at host time `now`.
  void watch(double now);
  // The earliest host time at which tick() can have work: the anchor, a time-out,
  // a stall report or silence to fill.
  double nextTickDue() const;
  void scheduleTick();
  void timeOutPending(double now);
  double believableStamp(double hostTime, double now, int64_t frames);

  const std::shared_ptr<platform::SerialQueue> queue_;
  SlotRef active_;
  SlotRef pending_;
  bool running_ = false;
  std::unique_ptr<platform::GridTimer> timer_;
  double startedAt_ = 0;
  bool stallReported_ = false;
  double lastInputArrival_ = 0;
  double inputRunsOut_ = 0;  // host time at which the on-air source's sound so far has played out
  bool futureStampRun_ = false;
  int64_t ticks_ = 0;

  ProgramAudioTimeline timeline_;
  ProgramAudioConverter converter_;
  AudioLevelMeter meter_;
};

}  // namespace quarzadel
