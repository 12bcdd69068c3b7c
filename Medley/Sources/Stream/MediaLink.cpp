#include "Medley/Sources/Stream/MediaLink.h"

#include <algorithm>

#include <string>

#include "Medley/Sources/Stream/AudioPlayerNode.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Concurrency/Task.h"

namespace medley {

using platform::Async;
using platform::SampleBufferRef;

MediaLink::MediaLink(std::shared_ptr<platform::Runtime> runtime)
    : Actor(std::string(kLibraryIdentifierPrefix) + ".Medley.MediaLink", runtime),
      displayLink_(std::make_shared<DisplayLinkChoreographer>(runtime)) {
  try {
    storage_.emplace(kCapacity);
  } catch (const TypedBlockQueueError& error) {
    MEDLEY_LOG_ERROR(error.what());
  }
}

MediaLink::~MediaLink() {
  displayLink_->stopRunning();
  if (continuation_) continuation_->finish();
}

Async<platform::AsyncStream<SampleBufferRef>> MediaLink::dequeue() {
  co_await hop();
  auto [stream, writer] = platform::AsyncStream<SampleBufferRef>::make(platform::BufferingPolicy::unbounded());
  if (continuation_) continuation_->finish();
  continuation_ = std::move(writer);
  co_return std::move(stream);
}

Async<void> MediaLink::enqueue(SampleBufferRef sampleBuffer) {
  co_await hop();
  if (!isRunning_ || !sampleBuffer) co_return;
  if (!presentationTimeStampOrigin_.isValid()) presentationTimeStampOrigin_ = sampleBuffer->presentationTime();
  if (!storage_) co_return;
  try {
    storage_->enqueue(std::move(sampleBuffer));
  } catch (const TypedBlockQueueError& error) {
    MEDLEY_LOG_ERROR(error.what());
  }
}

Async<bool> MediaLink::isRunning() {
  co_await hop();
  co_return isRunning_;
}

Async<void> MediaLink::startRunning() {
  co_await hop();
  if (isRunning_) co_return;
  isRunning_ = true;
  duration_ = 0;
  clockOffset_ = 0;
  lastClock_ = 0;
  lastTickTimestamp_.reset();
  ++generation_;
  // The tick sequence is taken before the link starts, so that no tick is missed.
  auto ticks = displayLink_->updateFrames();
  displayLink_->startRunning();
  platform::spawnDetached(queue(), [](std::shared_ptr<MediaLink> self, platform::AsyncStream<DisplayLinkTime> t) {
    return self->present(std::move(t));
  }, shared_from_this(), std::move(ticks));
}

Async<void> MediaLink::stopRunning() {
  co_await hop();
  if (!isRunning_) co_return;
  if (continuation_) continuation_->finish();
  continuation_.reset();
  displayLink_->stopRunning();
  presentationTimeStampOrigin_ = platform::MediaTime::invalid();
  if (storage_) storage_->reset();
  lastTickTimestamp_.reset();
  isRunning_ = false;
}

Async<double> MediaLink::advance(double delta) {
  co_await hop();
  if (auto node = audioPlayer_.lock()) {
    // A node attached during the run plays from 0: it counts on from where the clock was.
    const double time = clockOffset_ + co_await node->currentTime();
    duration_ += delta;
    lastClock_ = std::max(lastClock_, time);
    co_return lastClock_;
  }
  const double before = duration_;
  duration_ += delta;
  co_return before;
}

Async<void> MediaLink::setAudioPlayer(std::weak_ptr<AudioPlayerNode> node, std::optional<double> startsAt) {
  co_await hop();
  if (startsAt) {
    clockOffset_ = *startsAt;
  } else if (node.lock() != audioPlayer_.lock()) {
    clockOffset_ = lastClock_;
  }
  audioPlayer_ = std::move(node);
}

Async<void> MediaLink::present(platform::AsyncStream<DisplayLinkTime> ticks) {
  co_await hop();
  const uint64_t generation = generation_;
  while (auto tick = co_await ticks.next()) {
    if (generation != generation_ || !isRunning_) break;
    co_await update(*tick);
  }
}

Async<void> MediaLink::update(DisplayLinkTime tick) {
  if (!storage_) co_return;
  double delta = tick.targetTimestamp - tick.timestamp;
  const double measured = lastTickTimestamp_ ? tick.timestamp - *lastTickTimestamp_ : 0;
  lastTickTimestamp_ = tick.timestamp;
  if (!(delta > 0)) {
    // A tick that names no interval (every refresh): the clock moves by the time
    // that passed since the previous one.
    if (measured > 0) duration_ += measured;
    delta = 0;
  }
  const uint64_t generation = generation_;
  const double clock = co_await advance(delta);
  if (generation != generation_ || !isRunning_ || storage_->isEmpty()) co_return;
  int count = 0;
  while (auto head = storage_->head()) {
    const double due = head->presentationTime().seconds() - presentationTimeStampOrigin_.seconds();
    if (!(clock + kDueTolerance >= due)) {
      if (count >= kDroppedFrameReportCount) MEDLEY_LOG_INFO("droppedFrame: " + std::to_string(count));
      co_return;
    }
    if (continuation_) (void)continuation_->yield(head);
    ++count;
    storage_->dequeue();
  }
}

}  // namespace medley
