#include "Medley/Sources/Screen/DisplayLinkChoreographer.h"

#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

DisplayLinkChoreographer::DisplayLinkChoreographer(std::shared_ptr<platform::Runtime> runtime, double refreshRate)
    : runtime_(std::move(runtime)), refreshRate_(refreshRate) {}

DisplayLinkChoreographer::~DisplayLinkChoreographer() {
  if (displayLink_) displayLink_->invalidate();
  if (continuation_) continuation_->finish();
}

int DisplayLinkChoreographer::preferredFramesPerSecond() const {
  std::lock_guard lock(mutex_);
  return preferredFramesPerSecond_;
}

void DisplayLinkChoreographer::setPreferredFramesPerSecond(int fps) {
  std::lock_guard lock(mutex_);
  if (preferredFramesPerSecond_ == fps) return;
  preferredFramesPerSecond_ = fps;
  if (displayLink_) displayLink_->setPreferredFramesPerSecond(fps);
}

bool DisplayLinkChoreographer::isRunning() const {
  std::lock_guard lock(mutex_);
  return isRunning_;
}

void DisplayLinkChoreographer::startRunning() {
  {
    std::lock_guard lock(mutex_);
    if (isRunning_) return;
    isRunning_ = true;
  }
  std::weak_ptr<DisplayLinkChoreographer> weak = weak_from_this();
  auto link = std::make_shared<DisplayLink>(
      platform::SerialQueue::make(std::string(kLibraryIdentifierPrefix) + ".Medley.DisplayLink", runtime_),
      [weak](const DisplayLink& l) {
        if (auto self = weak.lock()) self->update(l);
      },
      refreshRate_);
  replaceDisplayLink(std::move(link));
}

void DisplayLinkChoreographer::stopRunning() {
  std::optional<platform::AsyncStreamWriter<DisplayLinkTime>> finished;
  {
    std::lock_guard lock(mutex_);
    if (!isRunning_) return;
    isRunning_ = false;
  }
  replaceDisplayLink(nullptr);
  {
    std::lock_guard lock(mutex_);
    finished = std::move(continuation_);
    continuation_.reset();
  }
  if (finished) finished->finish();
}

platform::AsyncStream<DisplayLinkTime> DisplayLinkChoreographer::updateFrames() {
  auto [stream, writer] = platform::AsyncStream<DisplayLinkTime>::make(platform::BufferingPolicy::unbounded());
  std::lock_guard lock(mutex_);
  // The earlier sequence ends with its last writer, so no reader waits on it forever.
  continuation_ = std::move(writer);
  return std::move(stream);
}

std::shared_ptr<DisplayLink> DisplayLinkChoreographer::displayLink() const {
  std::lock_guard lock(mutex_);
  return displayLink_;
}

void DisplayLinkChoreographer::update(const DisplayLink& link) {
  std::optional<platform::AsyncStreamWriter<DisplayLinkTime>> writer;
  {
    std::lock_guard lock(mutex_);
    if (&link != displayLink_.get()) return;  // a tick of a link already replaced
    writer = continuation_;
  }
  if (writer) (void)writer->yield(DisplayLinkTime{link.timestamp(), link.targetTimestamp()});
}

void DisplayLinkChoreographer::replaceDisplayLink(std::shared_ptr<DisplayLink> link) {
  std::shared_ptr<DisplayLink> old;
  int fps = 0;
  {
    std::lock_guard lock(mutex_);
    old = std::move(displayLink_);
    displayLink_ = link;
    fps = preferredFramesPerSecond_;
  }
  if (old) old->invalidate();
  if (link) {
    link->setPreferredFramesPerSecond(fps);
    link->setPaused(false);
    link->add();
  }
}

}  // namespace medley
