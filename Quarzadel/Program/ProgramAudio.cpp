#include "Quarzadel/Program/ProgramAudio.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Log/Log.h"

namespace quarzadel {

namespace {

platform::Nanos nanos(double seconds) { return static_cast<platform::Nanos>(std::llround(seconds * 1e9)); }

}  // namespace

std::shared_ptr<ProgramAudio> ProgramAudio::make(std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<ProgramAudio>(std::move(runtime));
}

ProgramAudio::ProgramAudio(std::shared_ptr<platform::Runtime> runtime)
    : queue_(platform::SerialQueue::make(std::string(kAppIdentifierPrefix) + ".mac.program-audio", std::move(runtime), platform::QualityOfService::userInteractive)),
      converter_(ProgramAudioTimeline::outputFormat()) {
  timeline_.setOutput([this](const platform::PCMBufferRef& buffer, const platform::AudioTime& time) {
    if (onOutput) onOutput(buffer, time);
  });
}

double ProgramAudio::now() const { return platform::toSeconds(queue_->now()); }

void ProgramAudio::send(const Event& event) {
  if (onEvent) onEvent(event);
}

// MARK: - Operations

void ProgramAudio::start() {
  queue_->async([self = shared_from_this()] {
    if (self->running_) return;
    self->running_ = true;
    self->startedAt_ = self->now();
    self->timer_ = std::make_unique<platform::GridTimer>(
        self->queue_, self->queue_->now() + nanos(kTickInterval), nanos(kTickInterval),
        platform::weakHandler(self, [](ProgramAudio& p) { p.tick(); }));
    self->scheduleTick();
  });
}

void ProgramAudio::switchTo(std::shared_ptr<AudioFrameSource> source) {
  if (!source) return;
  queue_->async([self = shared_from_this(), source = std::move(source)]() mutable {
    self->doSwitch(std::move(source));
    self->scheduleTick();
  });
}

void ProgramAudio::restart(std::shared_ptr<AudioFrameSource> source) {
  if (!source) return;
  queue_->async([self = shared_from_this(), source = std::move(source)]() mutable {
    self->doRestart(std::move(source));
    self->scheduleTick();
  });
}

void ProgramAudio::setMuted(bool muted) {
  queue_->async([self = shared_from_this(), muted] { self->timeline_.setMuted(muted); });
}

void ProgramAudio::stop() {
  queue_->async([self = shared_from_this()] { self->doStop(); });
}

// MARK: - Switching

void ProgramAudio::openPending(std::shared_ptr<AudioFrameSource> source, bool reopens) {
  if (pending_) pending_->source->stop();
  auto slot = std::make_shared<Slot>();
  slot->source = std::move(source);
  slot->requestedAt = now();
  slot->reopens = reopens;
  pending_ = slot;

  std::weak_ptr<ProgramAudio> weakSelf = shared_from_this();
  std::weak_ptr<Slot> weakSlot = slot;
  slot->source->start(
      queue_,
      [weakSelf, weakSlot](PCMBufferRef buffer, double hostTime) {
        auto self = weakSelf.lock();
        auto slot = weakSlot.lock();
        if (!self || !slot) return;
        self->handleBuffer(slot, buffer, hostTime);
        self->scheduleTick();
      },
      [weakSelf, weakSlot](const std::string& reason) {
        auto self = weakSelf.lock();
        auto slot = weakSlot.lock();
        if (!self || !slot) return;
        self->slotFailed(slot, reason);
        self->scheduleTick();
      });
}

void ProgramAudio::doSwitch(std::shared_ptr<AudioFrameSource> source) {
  const std::string id = source->sourceID();
  if (active_ && active_->source->sourceID() == id && !pending_ && !active_->failed) return;
  if (pending_ && pending_->source->sourceID() == id) return;
  openPending(std::move(source), false);
}

void ProgramAudio::doRestart(std::shared_ptr<AudioFrameSource> source) {
  if (!active_ || active_->source->sourceID() != source->sourceID()) return;
  active_->source->stop();
  active_.reset();
  openPending(std::move(source), true);
}

void ProgramAudio::doStop() {
  running_ = false;
  if (timer_) timer_->cancel();
  timer_.reset();
  if (active_) active_->source->stop();
  if (pending_) pending_->source->stop();
  active_.reset();
  pending_.reset();
}

void ProgramAudio::goOnAir(const SlotRef& slot) {
  SlotRef previous = active_;
  active_ = slot;
  pending_.reset();
  if (previous) {
    previous->source->stop();
    timeline_.setFadeInRemaining(ProgramAudioTimeline::kFadeInFrames);
  } else {
    timeline_.setFadeInRemaining(0);
  }
  timeline_.requestResync();
  Log::microphoneOnAir(*slot->source, __FILE__);
  send(Event::onAir(slot->source->sourceID(), slot->source->displayName()));
}

// MARK: - Source callbacks

void ProgramAudio::handleBuffer(const SlotRef& slot, const platform::PCMBufferRef& buffer, double hostTime) {
  if (slot == pending_) goOnAir(slot);
  if (slot != active_) return;

  auto converted = converter_.convert(buffer);
  if (!converted || converted->frameLength() == 0) return;
  const double t = now();
  lastInputArrival_ = t;
  stallReported_ = false;

  // Metered before mute and fade-in: the meter shows the microphone while muted.
  float* const* channels = converted->floatChannelData();
  meter_.addChannel(channels[0], converted->frameLength());
  meter_.addChannel(channels[1], converted->frameLength());
  if (auto level = meter_.takeLevel(t); level && onLevel) onLevel(*level);

  timeline_.place(*converted, believableStamp(hostTime, t, converted->frameLength()));
  // A source that delivers seconds at a time is silent between its blocks while
  // what it sent still plays: it counts as silent only once that has run out.
  inputRunsOut_ = std::max(t, timeline_.endHost().value_or(t));
}

double ProgramAudio::believableStamp(double hostTime, double now, int64_t frames) {
  if (!(hostTime - now > kFutureStampLimit)) {
    futureStampRun_ = false;
    return hostTime;
  }
  // A buffer cannot have been captured in the future: taken at its word, the
  // stamp would push the whole stream ahead with a flood of silence. Its arrival
  // is the better estimate; the first of a run lands there exactly.
  if (!futureStampRun_) {
    futureStampRun_ = true;
    timeline_.requestResync();
    Log::soundBufferAheadOfHostClock(hostTime - now, __FILE__);
  }
  return now - static_cast<double>(frames) / ProgramAudioTimeline::kSampleRate;
}

void ProgramAudio::slotFailed(const SlotRef& slot, const std::string& reason) {
  slot->failed = true;
  if (slot == pending_) {
    slot->source->stop();
    pending_.reset();
    send(Event::switchFailed(slot->source->sourceID(), slot->source->displayName(), reason));
  } else if (slot == active_) {
    send(Event::onAirSourceFailed(slot->source->sourceID(), slot->source->displayName(), reason));
  }
}

// MARK: - Watchdog

void ProgramAudio::timeOutPending(double t) {
  if (!pending_ || t - pending_->requestedAt <= kPendingTimeout) return;
  SlotRef slot = pending_;
  slot->source->stop();
  pending_.reset();
  const std::string id = slot->source->sourceID();
  const std::string name = slot->source->displayName();
  // The microphone was on air before and was opened anew: to the engine it is the
  // on-air microphone that stopped, as a stall it could not recover from.
  const bool reopened = slot->reopens || (active_ && active_->failed && active_->source->sourceID() == id);
  if (reopened) {
    send(Event::onAirSourceFailed(id, name, kStoppedSendingAudio));
  } else {
    send(Event::switchFailed(id, name, name + " didn't send any audio."));
  }
}

void ProgramAudio::tick() {
  if (!running_) return;
  ticks_ += 1;
  watch(now());
  scheduleTick();
}

double ProgramAudio::nextTickDue() const {
  // Each bound is the earliest time at which the matching step of the tick acts.
  double due = std::numeric_limits<double>::infinity();
  if (pending_) due = pending_->requestedAt + kPendingTimeout;
  if (!timeline_.hasAnchor()) return std::min(due, startedAt_ + kAnchorDelay);
  if (active_ && !active_->failed && !pending_ && !stallReported_ && lastInputArrival_ > 0)
    due = std::min(due, inputRunsOut_ + kStallAfter);
  return std::min(due, lastInputArrival_ + kSilenceAfter);
}

void ProgramAudio::scheduleTick() {
  if (!running_ || !timer_) return;
  // A microsecond early: a rounding in the conversion must not skip the instant
  // at which the tick's own comparisons first hold.
  timer_->armBy(nanos(nextTickDue()) - platform::microseconds(1));
}

void ProgramAudio::watch(double t) {
  timeOutPending(t);

  if (!timeline_.hasAnchor()) {
    if (t - startedAt_ <= kAnchorDelay) return;
    timeline_.setAnchor(t - kOutputLatency);
  }

  if (active_ && !active_->failed && !pending_ && !stallReported_ && lastInputArrival_ > 0 &&
      t - inputRunsOut_ > kStallAfter) {
    stallReported_ = true;
    send(Event::onAirSourceStalled(active_->source->sourceID(), active_->source->displayName()));
  }

  if (t - lastInputArrival_ <= kSilenceAfter) return;
  const int64_t target =
      std::llround((t - kOutputLatency - *timeline_.anchorHost()) * ProgramAudioTimeline::kSampleRate);
  if (timeline_.emittedSamples() >= target) return;
  timeline_.insertSilence(target - timeline_.emittedSamples());
  timeline_.requestResync();
  if (meter_.takeSilenceReport(t) && onLevel) onLevel(AudioLevel{0, 0});
}

}  // namespace quarzadel
