#include "Quarzadel/Capture/MicCapture.h"

#include <map>

#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Log/Log.h"

namespace quarzadel {

using Kind = platform::AudioCaptureFailure::Kind;

MicCapture::MicCapture(std::string deviceID, std::string displayName, std::shared_ptr<platform::AudioCapture> capture)
    : sourceID_(std::move(deviceID)), displayName_(std::move(displayName)), capture_(std::move(capture)) {}

MicCapture::~MicCapture() {
  // A capture released without stop() still closes its input.
  if (deliveryQueue_ && !stopped_) {
    sessionQueue(deliveryQueue_->runtime())->async([box = box_] {
      if (box->session) box->session->stop();
      box->session.reset();
      box->tornDown = true;
    });
  }
}

std::shared_ptr<platform::SerialQueue> MicCapture::sessionQueue(const std::shared_ptr<platform::Runtime>& runtime) {
  static std::mutex mutex;
  static std::map<const platform::Runtime*, std::weak_ptr<platform::SerialQueue>> queues;
  std::lock_guard lock(mutex);
  auto& slot = queues[runtime.get()];
  auto queue = slot.lock();
  if (!queue) {
    queue = platform::SerialQueue::make(std::string(kAppIdentifierPrefix) + ".mac.mic-sessions", runtime,
                                        platform::QualityOfService::userInitiated);
    slot = queue;
  }
  return queue;
}

std::string MicCapture::failureText(const std::string& name, const platform::AudioCaptureFailure& failure) {
  switch (failure.kind) {
    case Kind::notAuthorized: return kNotAuthorized;
    case Kind::cannotOpen: return name + " couldn't start: " + failure.description;
    case Kind::inputRefused: return name + " can't be used right now.";
    case Kind::outputRefused: return name + " can't deliver audio.";
    case Kind::runtimeError:
      return name + " stopped: " + (failure.description.empty() ? std::string("unknown error") : failure.description);
    case Kind::disconnected: return name + " was disconnected.";
  }
  return name + " stopped: unknown error";
}

void MicCapture::start(std::shared_ptr<platform::SerialQueue> deliveryQueue, BufferHandler onBuffer,
                       FailureHandler onFailure) {
  if (started_ || !deliveryQueue) return;
  started_ = true;
  deliveryQueue_ = std::move(deliveryQueue);
  onBuffer_ = std::move(onBuffer);
  onFailure_ = std::move(onFailure);
  std::weak_ptr<MicCapture> weak = weak_from_this();
  sessionQueue(deliveryQueue_->runtime())->async([weak, box = box_] {
    if (auto self = weak.lock()) self->configure(box);
  });
}

// On the session queue.
void MicCapture::configure(const std::shared_ptr<SessionBox>& box) {
  if (box->tornDown) return;  // stopped before its turn came
  std::weak_ptr<MicCapture> weak = weak_from_this();
  std::weak_ptr<platform::SerialQueue> weakQueue = deliveryQueue_;
  platform::AudioCapture::Handlers handlers;
  // From the capture's thread: only handed on to the delivery queue.
  handlers.onBuffer = [weak, weakQueue](std::shared_ptr<platform::PCMBuffer> buffer, double time) {
    auto queue = weakQueue.lock();
    if (!queue) return;
    queue->async([weak, buffer = std::move(buffer), time] {
      auto self = weak.lock();
      if (self && self->onBuffer_ && buffer && buffer->frameLength() > 0) self->onBuffer_(buffer, time);
    });
  };
  const std::string name = displayName_;
  handlers.onFailure = [weak, name](const platform::AudioCaptureFailure& failure) {
    if (auto self = weak.lock()) self->reportFailure(failureText(name, failure));
  };
  try {
    if (!capture_) throw platform::AudioCaptureError({Kind::cannotOpen, "no sound server"});
    box->session = capture_->open(sourceID_, std::move(handlers));
  } catch (const platform::AudioCaptureError& error) {
    reportFailure(failureText(displayName_, error.failure()));
    return;
  } catch (const std::exception& error) {
    reportFailure(failureText(displayName_, {Kind::cannotOpen, error.what()}));
    return;
  }
  Log::microphoneStarted(displayName_, box->session->channels(), __FILE__);
}

// Any thread: the report itself runs on the delivery queue, once.
void MicCapture::reportFailure(const std::string& text) {
  auto queue = deliveryQueue_;
  if (!queue) return;
  std::weak_ptr<MicCapture> weak = weak_from_this();
  queue->async([weak, text] {
    auto self = weak.lock();
    if (!self || self->failed_) return;
    self->failed_ = true;
    Log::microphoneFailure(text, __FILE__);
    if (self->onFailure_) self->onFailure_(text);
  });
}

void MicCapture::stop() {
  stopped_ = true;
  onBuffer_ = nullptr;
  onFailure_ = nullptr;
  if (!deliveryQueue_) return;
  // The session, not the capture, is held: the close runs after any open queued before it.
  sessionQueue(deliveryQueue_->runtime())->async([box = box_] {
    if (box->session) box->session->stop();
    box->session.reset();
    box->tornDown = true;
  });
}

}  // namespace quarzadel
