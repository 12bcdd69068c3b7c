#include "Medley/Sources/Mixer/AudioMonitor.h"

#include <utility>

#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

AudioMonitor::AudioMonitor(std::shared_ptr<platform::AudioOutput> output) : output_(std::move(output)) {}

AudioMonitor::~AudioMonitor() {
  Unit unit;
  {
    std::lock_guard lock(mutex_);
    ++generation_;
    isRunning_ = false;
    unit = std::move(unit_);
  }
  if (unit) {
    unit->stop();
    unit->disconnect();
  }
}

void AudioMonitor::setOutput(std::shared_ptr<platform::AudioOutput> output) {
  std::lock_guard lock(mutex_);
  output_ = std::move(output);
}

bool AudioMonitor::hasOutput() const {
  std::lock_guard lock(mutex_);
  return output_ != nullptr;
}

std::optional<platform::AudioFormat> AudioMonitor::inputFormat() const {
  std::lock_guard lock(mutex_);
  return inputFormat_;
}

void AudioMonitor::setInputFormat(std::optional<platform::AudioFormat> format) {
  std::lock_guard lock(mutex_);
  if (format == inputFormat_) return;
  inputFormat_ = std::move(format);
  ringBuffer_ = inputFormat_ ? AudioRingBuffer::make(*inputFormat_, kBufferCounts) : nullptr;
}

bool AudioMonitor::hasRingBuffer() const {
  std::lock_guard lock(mutex_);
  return ringBuffer_ != nullptr;
}

int64_t AudioMonitor::bufferedFrames() const {
  std::lock_guard lock(mutex_);
  return ringBuffer_ ? ringBuffer_->counts() : 0;
}

void AudioMonitor::append(const platform::PCMBuffer& buffer, const platform::AudioTime& when) {
  std::lock_guard lock(mutex_);
  if (ringBuffer_ && buffer.format() == ringBuffer_->inputFormat()) ringBuffer_->append(buffer, when);
}

bool AudioMonitor::isRunning() const {
  std::lock_guard lock(mutex_);
  return isRunning_;
}

void AudioMonitor::startRunning() {
  std::optional<platform::AudioFormat> format;
  std::shared_ptr<platform::AudioOutput> output;
  uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (isRunning_) return;
    isRunning_ = true;
    generation = ++generation_;
    format = inputFormat_;
    output = output_;
  }
  // Without a format or an output the monitor runs all the same, silently.
  if (!format || !output) return;
  Unit unit = output->makePlayerUnit();
  try {
    if (!unit) return;
    unit->connect(*format);
  } catch (const platform::AudioOutputError& error) {
    MEDLEY_LOG_ERROR("monitor output refused", format->description() + ":", error.what());
    return;
  }
  size_t periods = 0;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;  // stopped meanwhile
    unit_ = unit;
    if (periods_.empty() || !(periods_.front()->format() == *format)) {
      periods_.clear();
      for (int i = 0; i < kPeriodsInFlight; ++i) {
        auto period = platform::PCMBuffer::make(*format, kFramesPerPeriod);
        if (!period) break;
        periods_.push_back(std::move(period));
      }
    }
    periods = periods_.size();
  }
  for (size_t i = 0; i < periods; ++i) schedule(unit, generation, i);
  unit->play();
  MEDLEY_LOG_INFO("monitoring", format->description(), "on", output_->description());
}

void AudioMonitor::stopRunning() {
  Unit unit;
  {
    std::lock_guard lock(mutex_);
    if (!isRunning_) return;
    isRunning_ = false;
    ++generation_;
    unit = std::move(unit_);
  }
  if (unit) {
    unit->stop();
    unit->disconnect();
  }
}

void AudioMonitor::renderLocked(platform::PCMBuffer& period) {
  period.setFrameLength(kFramesPerPeriod);
  if (ringBuffer_ && ringBuffer_->counts() < kFramesPerPeriod && ringBuffer_->sampleTime() != 0) ++shortPeriods_;
  if (!ringBuffer_ || ringBuffer_->counts() == 0 ||
      ringBuffer_->render(kFramesPerPeriod, &period) != AudioRingBuffer::kNoErr) {
    period.zero();
  }
}

void AudioMonitor::schedule(const Unit& unit, uint64_t generation, size_t index) {
  platform::PCMBufferRef period;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_ || index >= periods_.size()) return;
    period = periods_[index];
    renderLocked(*period);
  }
  // A period is refilled only once it was played, so the unit may hold on to it until then.
  std::weak_ptr<AudioMonitor> weak = weak_from_this();
  unit->scheduleBuffer(period, [weak, generation, index] {
    if (auto self = weak.lock()) self->played(generation, index);
  });
}

void AudioMonitor::played(uint64_t generation, size_t index) {
  Unit unit;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_ || !isRunning_) return;
    unit = unit_;
  }
  if (unit) schedule(unit, generation, index);
}

}  // namespace medley
