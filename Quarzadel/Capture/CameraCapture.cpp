#include "Quarzadel/Capture/CameraCapture.h"

#include <algorithm>
#include <cmath>

#include "Platform/Capture/V4L2Device.h"
#include "Platform/Capture/VideoCaptureDevices.h"
#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Program/HostSeconds.h"

namespace quarzadel {

namespace {

// One frame may wait on the consumer's queue; later ones are dropped until it is taken.
constexpr int kMaxFramesInFlight = 1;

// The sentence for a stream that ended: "<name> was disconnected." or "<name> stopped: <text>".
std::string stopSentence(bool disconnected, const std::string& name, const std::string& description) {
  if (disconnected) return name + " was disconnected.";
  return name + " stopped: " + (description.empty() ? "unknown error" : description);
}

}  // namespace

std::shared_ptr<platform::SerialQueue> CameraCapture::sessionQueue() {
  // A teardown queued at exit holds the queue itself, and runs before static
  // objects go or not at all (RuntimeStopAtReturn).
  static const auto queue = platform::SerialQueue::make(std::string(kAppIdentifierPrefix) + ".mac.camera-sessions",
                                                        platform::Runtime::shared(),
                                                        platform::QualityOfService::userInitiated);
  return queue;
}

std::shared_ptr<CameraCapture> CameraCapture::make(std::shared_ptr<platform::VideoCaptureDevice> device,
                                                   const StreamConfig& target,
                                                   std::shared_ptr<platform::SerialQueue> sessionQueue) {
  if (!sessionQueue) sessionQueue = CameraCapture::sessionQueue();
  return std::make_shared<CameraCapture>(std::move(device), target, std::move(sessionQueue));
}

std::shared_ptr<CameraCapture> CameraCapture::makeForDevice(const std::string& uniqueID, const StreamConfig& target) {
  for (auto& info : platform::listVideoCaptureDevices())
    if (info.uniqueID == uniqueID) return make(std::make_shared<platform::V4L2Device>(std::move(info)), target);
  return nullptr;
}

CameraCapture::CameraCapture(std::shared_ptr<platform::VideoCaptureDevice> device, const StreamConfig& target,
                             std::shared_ptr<platform::SerialQueue> sessionQueue)
    : device_(std::move(device)),
      sourceID_(device_->info().uniqueID),
      displayName_(device_->info().name),
      sessionQueue_(std::move(sessionQueue)),
      target_(target) {}

CameraCapture::~CameraCapture() { *observing_ = false; }

std::string CameraCapture::startFailureMessage(const platform::VideoCaptureError& error, const std::string& name) {
  if (error.kind == platform::VideoCaptureError::Kind::permissionDenied) return kPermissionSentence;
  return name + " couldn't start: " + error.what();
}

void CameraCapture::start(std::shared_ptr<platform::SerialQueue> deliveryQueue, FrameHandler onFrame,
                          FailureHandler onFailure) {
  onFrame_ = std::move(onFrame);
  onFailure_ = std::move(onFailure);
  deliveryQueue_ = deliveryQueue;
  installObservers();
  sessionQueue_->async([weak = weak_from_this(), deliveryQueue] {
    if (auto self = weak.lock()) self->configure(deliveryQueue);
  });
}

void CameraCapture::installObservers() {
  observedName_ = displayName_;
  *observing_ = true;
}

void CameraCapture::configure(const std::shared_ptr<platform::SerialQueue>& deliveryQueue) {
  using Kind = platform::VideoCaptureError::Kind;
  try {
    device_->open();
  } catch (const platform::VideoCaptureError& e) {
    reportFailure(e.kind == Kind::busy ? displayName_ + " can't be used right now."
                                       : startFailureMessage(e, displayName_));
    return;
  }
  if (device_->formats().empty()) {
    device_->close();
    reportFailure(displayName_ + " can't deliver video.");
    return;
  }
  applyBestFormat();

  std::weak_ptr<CameraCapture> weak = weak_from_this();
  auto inFlight = framesInFlight_;
  auto onFrame = [weak, deliveryQueue, inFlight](platform::PixelBufferRef picture, platform::MediaTime time) {
    // A consumer still busy with the last frame gets no backlog.
    if (inFlight->fetch_add(1) >= kMaxFramesInFlight) {
      inFlight->fetch_sub(1);
      return;
    }
    deliveryQueue->async([weak, inFlight, picture = std::move(picture), time] {
      inFlight->fetch_sub(1);
      if (auto self = weak.lock()) self->deliver(picture, time);
    });
  };
  // The device's thread never holds the camera object: its last owner must not be
  // that thread, which would then have to stop itself.
  auto onEvent = [weak, observing = observing_, queue = deliveryQueue,
                  name = observedName_](const platform::VideoCaptureEvent& event) {
    if (!observing->load()) return;
    if (event.kind == platform::VideoCaptureEvent::Kind::interrupted) {
      Log::cameraSessionInterrupted(weak.expired() ? std::nullopt : std::optional<std::string>(name), __FILE__);
      return;
    }
    const std::string sentence =
        stopSentence(event.kind == platform::VideoCaptureEvent::Kind::disconnected, name, event.description);
    queue->async([weak, sentence] {
      if (auto self = weak.lock()) self->failOnce(sentence);
    });
  };
  try {
    device_->startStreaming(std::move(onFrame), std::move(onEvent));
  } catch (const platform::VideoCaptureError& e) {
    device_->close();
    switch (e.kind) {
      case Kind::busy:
        reportFailure(displayName_ + " can't be used right now.");
        break;
      case Kind::noUsableFormat:
        reportFailure(displayName_ + " can't deliver video.");
        break;
      default:
        reportFailure(startFailureMessage(e, displayName_));
    }
    return;
  }
  applyBestFormat();
  Log::cameraStarted(displayName_, formatSummary_, __FILE__);
}

bool CameraCapture::applyBestFormat() {
  const std::vector<platform::VideoCaptureFormat> formats = device_->formats();
  if (formats.empty()) return true;
  std::vector<CameraFormatPicker::Candidate> candidates;
  candidates.reserve(formats.size());
  for (size_t i = 0; i < formats.size(); ++i) candidates.emplace_back(i, formats[i]);
  const CameraFormatPicker::Candidate best = *CameraFormatPicker::pick(candidates, target_);
  const platform::VideoCaptureFormat& chosen = formats[best.index];

  const double rate = std::min(best.maxFrameRate, target_.frameRate);
  std::optional<platform::FrameDuration> duration;
  for (const auto& range : chosen.frameRateRanges) {
    if (!(range.minFrameRate - 0.01 <= rate && rate <= range.maxFrameRate + 0.01)) continue;
    if (range.maxFrameRate - range.minFrameRate < 0.01)
      duration = range.minFrameDuration;
    else
      duration = platform::FrameDuration{1000, static_cast<uint32_t>(static_cast<int32_t>(rate * 1000))};
    break;
  }
  bool streaming = true;
  try {
    device_->configure(best.index, duration);
  } catch (const platform::VideoCaptureError& e) {
    // A refusal leaves the camera as it was. A stream that could not restart
    // after the change is over: the device tells that once, as its event.
    if (e.streamEnded) {
      Log::logger().debug(
          stopSentence(e.kind == platform::VideoCaptureError::Kind::disconnected, displayName_, e.what()));
      streaming = false;
    } else {
      Log::logger().debug("Keeping default format for " + displayName_ + ": " + e.what());
    }
  }

  const std::optional<size_t> active = device_->activeFormatIndex();
  const platform::VideoCaptureFormat& shown = active && *active < formats.size() ? formats[*active] : chosen;
  const platform::FrameDuration minDuration = device_->activeMinFrameDuration();
  const double shownRate = minDuration.seconds() > 0 ? 1.0 / minDuration.seconds() : best.maxFrameRate;
  formatSummary_ = std::to_string(shown.width) + "x" + std::to_string(shown.height) + " @ " +
                   std::to_string(static_cast<long long>(std::llround(shownRate))) + " fps";
  return streaming;
}

void CameraCapture::stop() {
  onFrame_ = nullptr;
  onFailure_ = nullptr;
  *observing_ = false;
  // Holds the device, not the camera object: a camera released at once is still torn down.
  sessionQueue_->async([device = device_] {
    device->stopStreaming();
    device->close();
  });
}

void CameraCapture::apply(const StreamConfig& target) {
  sessionQueue_->async([weak = weak_from_this(), target] {
    if (auto self = weak.lock()) self->applyTarget(target);
  });
}

void CameraCapture::applyTarget(const StreamConfig& target) {
  if (target == target_) return;
  target_ = target;
  if (applyBestFormat()) Log::cameraReconfigured(displayName_, formatSummary_, __FILE__);
}

void CameraCapture::reportFailure(const std::string& sentence) {
  // deliveryQueue_ is written by start on the consumer's queue before any report
  // can be made, and never changed afterwards.
  if (!deliveryQueue_) {
    failOnce(sentence);
    return;
  }
  deliveryQueue_->async([weak = weak_from_this(), sentence] {
    if (auto self = weak.lock()) self->failOnce(sentence);
  });
}

void CameraCapture::failOnce(const std::string& sentence) {
  if (failed_.exchange(true)) return;
  Log::cameraFailure(sentence, __FILE__);
  if (onFailure_) onFailure_(sentence);
}

void CameraCapture::deliver(const platform::PixelBufferRef& picture, const platform::MediaTime& time) {
  if (!picture || !onFrame_) return;
  const platform::Clock& host = *deliveryQueue_->runtime();
  onFrame_(picture, hostSeconds(time, nullptr, host));
}

}  // namespace quarzadel
