#include "Quarzadel/Program/ProgramVideo.h"

#include <algorithm>

#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Log/Log.h"

namespace quarzadel {

namespace {
const std::string kQueueLabel = std::string(kAppIdentifierPrefix) + ".mac.program-video";

int64_t wholeMilliseconds(double seconds) { return static_cast<int64_t>(seconds * 1000); }

}  // namespace

std::shared_ptr<ProgramVideo> ProgramVideo::make(StreamConfig config, Framing framing, CameraTransition transitionStyle,
                                                 std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<ProgramVideo>(config, framing, transitionStyle, std::move(runtime));
}

ProgramVideo::ProgramVideo(StreamConfig config, Framing framing, CameraTransition transitionStyle,
                           std::shared_ptr<platform::Runtime> runtime)
    : queue_(platform::SerialQueue::make(kQueueLabel, std::move(runtime), platform::QualityOfService::userInteractive)),
      config_(config),
      transitionStyle_(transitionStyle),
      renderer_(config, framing, queue_->runtime()) {}

ProgramVideo::~ProgramVideo() {
  if (watchdog_) watchdog_->cancel();
  // Release the devices even when the owner never called stop().
  for (const SlotRef& slot : {active_, pending_, transition_ ? transition_->from : SlotRef{}})
    if (slot) slot->source->stop();
}

void ProgramVideo::start() {
  queue_->async([self = shared_from_this()] {
    if (self->running_) return;
    const double started = platform::HostClock::shared()->nowSeconds();
    if (self->renderer_.warmUp(*platform::HostClock::shared())) Log::videoPipelineWarmedUp(started, __FILE__);
    self->running_ = true;
    self->watchdog_ = std::make_unique<platform::GridTimer>(
        self->queue_, self->queue_->now() + platform::seconds(kFirstTick), platform::seconds(kTickInterval),
        platform::weakHandler(self, [](ProgramVideo& p) { p.tick(); }));
    self->scheduleTick();
  });
}

void ProgramVideo::stop() {
  queue_->async([self = shared_from_this()] {
    self->running_ = false;
    if (self->watchdog_) self->watchdog_->cancel();
    self->watchdog_.reset();
    if (self->active_) self->active_->source->stop();
    if (self->pending_) self->pending_->source->stop();
    if (self->transition_) self->transition_->from->source->stop();
    self->active_.reset();
    self->pending_.reset();
    self->transition_.reset();
  });
}

void ProgramVideo::setFraming(Framing framing) {
  queue_->async([self = shared_from_this(), framing] { self->renderer_.setFraming(framing); });
}

void ProgramVideo::setTransitionStyle(CameraTransition style) {
  queue_->async([self = shared_from_this(), style] { self->transitionStyle_ = style; });
}

void ProgramVideo::setConfig(const StreamConfig& config) {
  queue_->async([self = shared_from_this(), config] {
    if (config == self->config_) return;
    self->config_ = config;
    self->renderer_.setConfig(config);
    self->lastOutput_.reset();  // another size: not a picture to hold any more
    if (self->active_) self->active_->source->apply(config);
    if (self->pending_) self->pending_->source->apply(config);
    self->scheduleTick();
  });
}

ProgramVideo::Transition ProgramVideo::makeTransition(SlotRef from) const {
  return {std::move(from), std::nullopt, transitionStyle_ == CameraTransition::dissolve ? kDissolveSeconds : 0.0};
}

void ProgramVideo::switchTo(std::shared_ptr<VideoFrameSource> source) {
  if (!source) return;
  queue_->async([self = shared_from_this(), source = std::move(source)]() mutable {
    const std::string id = source->sourceID();
    if (self->active_ && self->active_->source->sourceID() == id && !self->pending_ && !self->active_->failed) return;
    if (self->pending_ && self->pending_->source->sourceID() == id) return;
    if (self->transition_ && self->active_ && self->transition_->from->source->sourceID() == id) {
      // Back to the picture that is fading out: it is still delivering, so it
      // returns at once and the newer source fades out instead.
      if (self->pending_) self->pending_->source->stop();
      self->pending_.reset();
      SlotRef restored = self->transition_->from;
      self->transition_ = self->makeTransition(self->active_);
      self->active_ = restored;
      self->send(Event::onAir(restored->source->sourceID(), restored->source->displayName()));
      self->scheduleTick();
      return;
    }
    self->openPending(std::move(source));
    self->scheduleTick();
  });
}

void ProgramVideo::restart(std::shared_ptr<VideoFrameSource> source) {
  if (!source) return;
  queue_->async([self = shared_from_this(), source = std::move(source)]() mutable {
    if (self->active_ && self->active_->source->sourceID() == source->sourceID()) {
      self->reopenSlot(self->active_, std::move(source));
      self->scheduleTick();
    }
  });
}

void ProgramVideo::reopenIfStalled(std::shared_ptr<VideoFrameSource> source) {
  if (!source) return;
  queue_->async([self = shared_from_this(), source = std::move(source)]() mutable {
    const SlotRef& active = self->active_;
    if (!active || active->source->sourceID() != source->sourceID() || self->pending_) return;
    const double now = self->now();
    const double silence = active->firstFrameAt ? now - std::max(*active->firstFrameAt, self->lastRealFrameHost_)
                                                : now - std::max(self->lastRealFrameHost_, 0.0);
    if (silence <= kReopenAfter) return;
    Log::sourceReopening(*source, __FILE__);
    self->reopenSlot(active, std::move(source));
    self->scheduleTick();
  });
}

void ProgramVideo::reopenSlot(const SlotRef& slot, std::shared_ptr<VideoFrameSource> source) {
  // The failed slot stays on air, holding its last picture until the new one takes over.
  slot->source->stop();
  slot->failed = true;
  openPending(std::move(source));
}

void ProgramVideo::openPending(std::shared_ptr<VideoFrameSource> source) {
  if (pending_) pending_->source->stop();
  auto slot = std::make_shared<Slot>(source, now());
  pending_ = slot;
  std::weak_ptr<ProgramVideo> weakSelf = weak_from_this();
  std::weak_ptr<Slot> weakSlot = slot;
  source->start(
      queue_,
      [weakSelf, weakSlot](platform::PixelBufferRef buffer, double pts) {
        auto self = weakSelf.lock();
        auto slot = weakSlot.lock();
        if (!self || !slot) return;
        self->handleFrame(slot, std::move(buffer), pts);
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

void ProgramVideo::handleFrame(const SlotRef& slot, platform::PixelBufferRef buffer, double pts) {
  // A failed on-air source holds its last picture until it is replaced: what it
  // still sends after its failure (or after a reopen stopped it) is not shown.
  if (slot->failed) return;
  const double now = this->now();
  slot->latest = std::move(buffer);
  slot->latestPTS = pts;
  slot->frameCount += 1;
  if (!slot->firstFrameAt) {
    slot->firstFrameAt = now;
    Log::logger().debug("First frame from " + slot->source->displayName() + " after " +
                        std::to_string(wholeMilliseconds(now - slot->requestedAt)) + " ms");
  }
  if (slot == active_ && slot->frameCount >= 2 && std::isfinite(slot->previousPTS)) {
    const double d = pts - slot->previousPTS;
    if (d > 0 && d < 1.0) sourceInterval_ = 0.9 * sourceInterval_ + 0.1 * d;
  }
  slot->previousPTS = pts;

  if (slot == pending_) {
    if (active_ && !active_->failed && now - *slot->firstFrameAt < kGoOnAirAfter) {
      // Draws the next picture once ahead of time, so that its first render on
      // air does not start by allocating. Nothing of it is emitted.
      renderer_.compose(slot->latest, slot->source->prefersFit(), active_->latest, active_->source->prefersFit(), 0.5);
      return;
    }
    goOnAir();
  }
  if (slot != active_) return;

  lastArrivalHost_ = now;
  if (!(pts > lastOutputPTS_)) return;
  if (pts - lastOutputPTS_ < kThinning * interval()) return;
  const double lat = now - pts;
  latencyEstimate_ = 0.9 * latencyEstimate_ + 0.1 * std::clamp(lat, 0.0, 0.3);
  const bool wasHolding = holding_;
  if (holding_ && lastRealFrameHost_ > 0)
    Log::programBackOnLiveFrames(now, lastRealFrameHost_, slot->source->displayName(), __FILE__);
  holding_ = false;
  stallReported_ = false;
  lastRealFrameHost_ = now;
  if (transition_ && !transition_->start) transition_->start = now;
  if (wasHolding) fillHeldSlots(pts, now);
  emit(false, pts, now);
}

void ProgramVideo::fillHeldSlots(double pts, double now) {
  // The repeats were stamped a hold threshold behind the clock, the live frame
  // carries its own time: without these the program's times would jump by the
  // difference (a quarter of a second at start-up).
  if (!lastOutput_ || !std::isfinite(lastOutputPTS_) || pts - lastOutputPTS_ > kMaxHeldFill) return;
  while (pts - (lastOutputPTS_ + interval()) >= kThinning * interval()) {
    if (!publish(lastOutput_, true, lastOutputPTS_ + interval(), now)) return;
  }
}

void ProgramVideo::slotFailed(const SlotRef& slot, const std::string& reason) {
  slot->failed = true;
  const std::string id = slot->source->sourceID(), name = slot->source->displayName();
  if (slot == pending_) {
    slot->source->stop();
    pending_.reset();
    if (active_ && active_->failed && active_->source->sourceID() == id)
      send(Event::onAirSourceFailed(id, name, reason));
    else
      send(Event::switchFailed(id, name, reason));
  } else if (slot == active_) {
    send(Event::onAirSourceFailed(id, name, reason));
  } else if (transition_ && slot == transition_->from) {
    slot->source->stop();
    transition_.reset();
  }
}

void ProgramVideo::goOnAir() {
  if (!pending_) return;
  SlotRef previous = active_;
  active_ = pending_;
  pending_.reset();
  if (transition_) {
    transition_->from->source->stop();
    transition_.reset();
  }
  if (previous) {
    if (transitionStyle_ == CameraTransition::dissolve && previous->latest && !previous->failed)
      transition_ = makeTransition(previous);
    else
      previous->source->stop();
  }
  sourceInterval_ = 1.0 / 30;
  Log::onAir(*active_->source, __FILE__);
  send(Event::onAir(active_->source->sourceID(), active_->source->displayName()));
}

platform::PixelBufferRef ProgramVideo::renderProgram(double now) {
  const platform::PixelBufferRef onAir = active_ ? active_->latest : nullptr;
  const bool fit = active_ && active_->source->prefersFit();
  if (onAir && transition_ && transition_->from->latest && transition_->duration > 0) {
    const double p = std::max(0.0, (now - transition_->start.value_or(now)) / transition_->duration);
    if (p < 1)
      return renderer_.compose(onAir, fit, transition_->from->latest, transition_->from->source->prefersFit(), p);
  }
  return renderer_.compose(onAir, fit, nullptr, false, 0);
}

bool ProgramVideo::emit(bool repeated, double pts, double now) {
  const double t0 = platform::toSeconds(renderClock->now());
  platform::PixelBufferRef buffer = renderProgram(now);
  if (!buffer) return false;
  const double t1 = platform::toSeconds(renderClock->now());
  if (t1 - t0 > kSlowRender) {
    std::optional<std::string> name;
    if (active_) name = active_->source->displayName();
    Log::slowProgramRender(t1 - t0, name, transition_.has_value(), __FILE__);
  }
  return publish(std::move(buffer), repeated, pts, now);
}

bool ProgramVideo::publish(platform::PixelBufferRef buffer, bool repeated, double pts, double now) {
  const platform::FormatDescriptionRef& format = renderer_.formatDescription();
  if (!format) return false;
  platform::SampleTiming timing;
  timing.duration = platform::MediaTime(std::llround(interval() * 600), 600);
  timing.presentationTime = platform::MediaTime(std::llround(pts * 1e9), 1'000'000'000);
  auto sample = platform::SampleBuffer::makeImage(buffer, timing, format);
  if (!sample) return false;
  lastOutput_ = std::move(buffer);
  lastOutputPTS_ = pts;
  lastEmitHost_ = now;
  emittedFrames_ += 1;
  if (repeated) repeatedFrames_ += 1;
  if (onOutput) onOutput(sample);
  return true;
}

void ProgramVideo::tick() {
  if (!running_) return;
  ticks_ += 1;
  const double now = this->now();

  if (pending_ && !pending_->firstFrameAt && now - pending_->requestedAt > kPendingTimeout) {
    SlotRef silent = pending_;
    silent->source->stop();
    pending_.reset();
    const std::string id = silent->source->sourceID(), name = silent->source->displayName();
    if (active_ && active_->failed && active_->source->sourceID() == id)
      send(Event::onAirSourceFailed(id, name, kStoppedSendingVideo));
    else
      send(Event::switchFailed(id, name, name + kDidNotSendVideo));
  }

  if (transition_ && transition_->start && now - *transition_->start >= transition_->duration &&
      transition_->from != active_) {
    transition_->from->source->stop();
    transition_.reset();
  }

  const double threshold = holdThreshold();

  if (!holding_ && now - lastEmitHost_ > threshold && now - lastArrivalHost_ > threshold) {
    holding_ = true;
    Log::logger().debug("Program holding last frame (no video for " +
                        std::to_string(wholeMilliseconds(now - lastEmitHost_)) + " ms)");
  }

  if (active_ && !active_->failed && active_->firstFrameAt && !pending_ && !stallReported_ &&
      now - std::max(*active_->firstFrameAt, lastRealFrameHost_) > kStallAfter) {
    stallReported_ = true;
    send(Event::onAirSourceStalled(active_->source->sourceID(), active_->source->displayName()));
  }

  if (holding_ && now - lastArrivalHost_ > threshold) {
    const double target = now - std::max(threshold, latencyEstimate_ + interval());
    double next = lastOutputPTS_ + interval();
    if (!std::isfinite(lastOutputPTS_) || next < now - 1.0) next = target;
    for (int repeats = 0; repeats < kMaxRepeatsPerTick && next <= target; ++repeats) {
      // A frame that cannot be made leaves the time where it was: try again next tick.
      if (!emit(true, next, now)) break;
      next = lastOutputPTS_ + interval();
    }
  }
  scheduleTick();
}

double ProgramVideo::holdThreshold() const {
  return active_ ? std::clamp(2.5 * sourceInterval_, 0.1, 0.5) : 0.25;
}

double ProgramVideo::nextTickDue() const {
  // Each bound is the earliest time at which the matching step of tick() acts;
  // none of them depends on the clock, only on what the queue's jobs change.
  double due = std::numeric_limits<double>::infinity();
  if (pending_ && !pending_->firstFrameAt) due = std::min(due, pending_->requestedAt + kPendingTimeout);
  if (transition_ && transition_->start && transition_->from != active_)
    due = std::min(due, *transition_->start + transition_->duration);
  const double threshold = holdThreshold();
  if (active_ && !active_->failed && active_->firstFrameAt && !pending_ && !stallReported_)
    due = std::min(due, std::max(*active_->firstFrameAt, lastRealFrameHost_) + kStallAfter);
  if (!holding_) return std::min(due, std::max(lastEmitHost_, lastArrivalHost_) + threshold);
  double repeat = lastArrivalHost_ + threshold;
  if (std::isfinite(lastOutputPTS_)) {
    // The next slot is due once the clock is a hold delay past it, or at once
    // when it lies more than a second back.
    const double next = lastOutputPTS_ + interval();
    const double delay = std::max(threshold, latencyEstimate_ + interval());
    repeat = std::max(repeat, next + std::min(delay, 1.0));
  }
  return std::min(due, repeat);
}

void ProgramVideo::scheduleTick() {
  if (!running_ || !watchdog_) return;
  const double due = nextTickDue();
  if (!std::isfinite(due)) return;
  // A microsecond early: a rounding in the conversion must not skip the instant
  // at which the tick's own comparisons first hold.
  watchdog_->armBy(platform::seconds(due) - platform::microseconds(1));
}

void ProgramVideo::send(const Event& event) {
  if (onEvent) onEvent(event);
}

}  // namespace quarzadel
