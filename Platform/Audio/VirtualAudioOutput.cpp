#include "Platform/Audio/VirtualAudioOutput.h"

#include <deque>
#include <mutex>
#include <vector>

#include "Platform/Dispatch/RepeatingTimer.h"

namespace platform {
namespace {

class VirtualPlayerUnit final : public AudioPlayerUnit, public std::enable_shared_from_this<VirtualPlayerUnit> {
 public:
  VirtualPlayerUnit(std::shared_ptr<SerialQueue> queue, Nanos period) : queue_(std::move(queue)), period_(period) {}
  ~VirtualPlayerUnit() override {
    std::lock_guard lock(mutex_);
    if (timer_) timer_->cancel();
  }

  void connect(const AudioFormat& format) override {
    if (!format.isValid() || !format.isPCM()) throw AudioOutputError("not a PCM format: " + format.description());
    std::vector<Completion> dropped;
    {
      std::lock_guard lock(mutex_);
      if (format_ && *format_ == format) return;
      dropAll(dropped);
      format_ = format;
    }
    post(std::move(dropped));
  }

  void disconnect() override {
    std::vector<Completion> dropped;
    {
      std::lock_guard lock(mutex_);
      stopLocked(dropped);
      format_.reset();
    }
    post(std::move(dropped));
  }

  bool isConnected() const override {
    std::lock_guard lock(mutex_);
    return format_.has_value();
  }

  std::optional<AudioFormat> format() const override {
    std::lock_guard lock(mutex_);
    return format_;
  }

  void scheduleBuffer(std::shared_ptr<const PCMBuffer> buffer, Completion completion) override {
    {
      std::lock_guard lock(mutex_);
      if (buffer && format_ && buffer->format() == *format_) {
        queued_.push_back({buffer->frameLength(), std::move(completion)});
        return;
      }
    }
    post({std::move(completion)});
  }

  void play() override {
    std::lock_guard lock(mutex_);
    if (playing_ || !format_) return;
    playing_ = true;
    played_ = 0;
    fraction_ = 0;
    std::weak_ptr<VirtualPlayerUnit> weak = weak_from_this();
    timer_ = RepeatingTimer::start(queue_, period_, period_, [weak] {
      if (auto self = weak.lock()) self->consume();
    });
  }

  void stop() override {
    std::vector<Completion> dropped;
    {
      std::lock_guard lock(mutex_);
      stopLocked(dropped);
    }
    post(std::move(dropped));
  }

  bool isPlaying() const override {
    std::lock_guard lock(mutex_);
    return playing_;
  }

  std::optional<int64_t> playedFrames() const override {
    std::lock_guard lock(mutex_);
    if (!playing_) return std::nullopt;
    return played_;
  }

  void setVolume(float) override {}
  void setPan(float) override {}

 private:
  struct Entry {
    uint32_t remaining;
    Completion completion;
  };

  // One period of playing: the frames due are taken from the front of the queue.
  void consume() {
    std::vector<Completion> done;
    {
      std::lock_guard lock(mutex_);
      if (!playing_ || !format_) return;
      fraction_ += format_->sampleRate() * toSeconds(period_);
      auto due = static_cast<int64_t>(fraction_);
      fraction_ -= static_cast<double>(due);
      while (due > 0 && !queued_.empty()) {
        auto& head = queued_.front();
        const int64_t taken = std::min<int64_t>(due, head.remaining);
        head.remaining -= static_cast<uint32_t>(taken);
        due -= taken;
        played_ += taken;
        if (head.remaining == 0) {
          done.push_back(std::move(head.completion));
          queued_.pop_front();
        }
      }
    }
    for (auto& completion : done)
      if (completion) completion();
  }

  void stopLocked(std::vector<Completion>& dropped) {
    playing_ = false;
    played_ = 0;
    if (timer_) timer_->cancel();
    timer_.reset();
    dropAll(dropped);
  }

  void dropAll(std::vector<Completion>& dropped) {
    for (auto& entry : queued_) dropped.push_back(std::move(entry.completion));
    queued_.clear();
  }

  // Completions never run inside a call of the unit's own caller.
  void post(std::vector<Completion> completions) {
    for (auto& completion : completions)
      if (completion) queue_->async(std::move(completion));
  }

  const std::shared_ptr<SerialQueue> queue_;
  const Nanos period_;
  mutable std::mutex mutex_;
  std::optional<AudioFormat> format_;
  std::deque<Entry> queued_;
  bool playing_ = false;
  int64_t played_ = 0;
  double fraction_ = 0;
  std::unique_ptr<RepeatingTimer> timer_;
};

}  // namespace

VirtualAudioOutput::VirtualAudioOutput(std::shared_ptr<Runtime> runtime, Nanos period)
    : runtime_(std::move(runtime)), period_(period > 0 ? period : kDefaultPeriod) {}

std::shared_ptr<AudioPlayerUnit> VirtualAudioOutput::makePlayerUnit() {
  return std::make_shared<VirtualPlayerUnit>(SerialQueue::make("VirtualAudioOutput", runtime_), period_);
}

}  // namespace platform
