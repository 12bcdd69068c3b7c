#pragma once
// Plays the mixed sound on an audio output so that the user hears what is
// captured. The owner sets the format of that sound (which makes a ring buffer
// in it) and appends each mixed buffer; while running, a player unit of the
// output pulls one period at a time from the ring as the output plays: every
// played period asks for the next, so the ring is read at the output's pace.
// A ring that has run dry plays silence.
//
// Appends come from the owner's queue and pulls from the output's queue: the
// ring is guarded by the monitor's lock. Owned by shared_ptr; the output calls
// back through a weak reference.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Medley/Sources/Mixer/AudioRingBuffer.h"
#include "Medley/Sources/Stream/Runner.h"
#include "Platform/Audio/AudioOutput.h"
#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace medley {

class AudioMonitor final : public Runner, public std::enable_shared_from_this<AudioMonitor> {
 public:
  // One pull: 20 ms at 48 kHz. With kPeriodsInFlight of them queued the output
  // never waits for the next pull, at a cost of that much latency.
  static constexpr uint32_t kFramesPerPeriod = 960;
  static constexpr int kPeriodsInFlight = 8;
  static constexpr uint32_t kBufferCounts = 16;

  // Without an output the monitor runs without a unit and plays nothing.
  explicit AudioMonitor(std::shared_ptr<platform::AudioOutput> output);
  ~AudioMonitor() override;

  // Where it plays; takes effect at the next start.
  void setOutput(std::shared_ptr<platform::AudioOutput> output);
  bool hasOutput() const;

  std::optional<platform::AudioFormat> inputFormat() const;
  // A new format replaces the ring with an empty one in it; takes effect for
  // the output at the next start.
  void setInputFormat(std::optional<platform::AudioFormat> format);
  bool hasRingBuffer() const;
  // Frames waiting to be played (stored and owed silence).
  int64_t bufferedFrames() const;
  // Appends mixed sound to the ring; dropped without a ring or in another format.
  void append(const platform::PCMBuffer& buffer, const platform::AudioTime& when);

  // Periods pulled while the ring held less than a period after sound had started: the producer fell behind.
  uint64_t shortPeriods() const {
    std::lock_guard lock(mutex_);
    return shortPeriods_;
  }

  bool isRunning() const override;
  void startRunning() override;
  void stopRunning() override;

 private:
  using Unit = std::shared_ptr<platform::AudioPlayerUnit>;
  // Fills the period buffer from the ring, silence for what it lacks. Under the lock.
  void renderLocked(platform::PCMBuffer& period);
  // Schedules period `index` and asks for the next pull once it was played.
  void schedule(const Unit& unit, uint64_t generation, size_t index);
  void played(uint64_t generation, size_t index);

  mutable std::mutex mutex_;
  std::shared_ptr<platform::AudioOutput> output_;
  std::optional<platform::AudioFormat> inputFormat_;
  std::unique_ptr<AudioRingBuffer> ringBuffer_;
  bool isRunning_ = false;
  Unit unit_;
  // Bumped by every start and stop, so that pulls of an older run stop pulling.
  uint64_t generation_ = 0;
  std::vector<platform::PCMBufferRef> periods_;
  uint64_t shortPeriods_ = 0;
};

}  // namespace medley
