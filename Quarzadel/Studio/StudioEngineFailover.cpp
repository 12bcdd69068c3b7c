// The Studio's automatic failover: what the engine does by itself when a camera
// or microphone fails, stalls, is turned off, comes back or vanishes, and when a
// screen share ends. The pipelines' events reach here on the main queue, after
// the pipelines may have moved on, so each handler first compares identifiers
// with what the engine holds now.
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Studio/SourceNotices.h"
#include "Quarzadel/Studio/StudioEngine.h"

namespace quarzadel {

namespace {

constexpr double kRestartWindow = 60.0;
constexpr size_t kRestartsPerWindow = 3;
constexpr double kResumeRecheck = 1.5;

}  // namespace

// ---- Program picture

void StudioEngine::handleVideoEvent(const ProgramEvent& event) {
  // Late reports of a closed Studio: opening a camera now would leave it
  // running with nobody to stop it.
  if (!started_) return;
  const auto& id = event.id;
  switch (event.kind) {
    case ProgramEvent::Kind::onAir:
      onAirCameraID_.set(id);
      if (switchingToCameraID_.value() == id) switchingToCameraID_.set(std::nullopt);
      failedCameraIDs_.erase(id);
      return;

    case ProgramEvent::Kind::switchFailed:
      if (switchingToCameraID_.value() == id) switchingToCameraID_.set(std::nullopt);
      if (const auto camera = listedCamera(id); camera && isCameraSuspended(id)) {
        // Not a failure: it stays chosen and goes on air when it resumes.
        Log::sourceSuspendedWaiting(event.name, kLogFile);
        post(StudioNotice(suspendedCameraMessage(*camera), StudioNotice::Kind::warning), kSuspendedNoticeSeconds);
        return;
      }
      failedCameraIDs_.insert(id);
      selectedCameraID_.set(onAirCameraID_.value());
      post(StudioNotice(sourcenotices::couldNotSwitchCamera(event.name, event.reason), StudioNotice::Kind::warning),
           kNoticeSeconds);
      return;

    case ProgramEvent::Kind::onAirSourceFailed: {
      if (onAirCameraID_.value() != id) return;  // no longer on air
      if (failedCameraIDs_.count(id) && switchingToCameraID_.value()) return;  // a failover is under way
      if (isCameraSuspended(id)) {
        cameraDidSuspend(id);
        return;
      }
      failedCameraIDs_.insert(id);
      Log::onAirCameraFailed(event.name, event.reason, kLogFile);
      if (settings_.value().autoFailover) {
        const auto previousSelection = selectedCameraID_.value();
        if (const auto other = failOverToPreferredCamera(failedCameraIDs_)) {
          failoverFromCameraID_ = previousSelection;
          post(StudioNotice(sourcenotices::cameraStoppedSwitched(event.name, other->name),
                            StudioNotice::Kind::warning),
               kNoticeSeconds);
          return;
        }
      }
      // The program picture holds the failed camera's last picture until the
      // host chooses another or it comes back.
      post(StudioNotice(sourcenotices::cameraStopped(event.name), StudioNotice::Kind::warning), kNoticeSeconds);
      return;
    }

    case ProgramEvent::Kind::onAirSourceStalled:
      Log::onAirCameraStalled(event.name, kLogFile);
      if (isCameraSuspended(id)) {
        cameraDidSuspend(id);  // a turned-off camera is waited for, not restarted
        return;
      }
      if (mayRestart(id)) {
        if (auto source = makeVideoSource(id)) {
          Log::reopening(event.name, kLogFile);
          video_->restart(std::move(source));
          return;
        }
      }
      handleVideoEvent(ProgramEvent::onAirSourceFailed(id, event.name, ProgramVideo::kStoppedSendingVideo));
      return;
  }
}

std::optional<CameraDevice> StudioEngine::failOverToPreferredCamera(std::set<std::string> excluding) {
  // A camera that cannot be opened is passed over rather than announced as the
  // one now on air.
  while (const auto camera = preferredCamera(excluding)) {
    if (putCameraOnAir(camera->id)) {
      selectedCameraID_.set(camera->id);
      return camera;
    }
    excluding.insert(camera->id);
  }
  return std::nullopt;
}

// ---- Program sound

void StudioEngine::handleAudioEvent(const ProgramEvent& event) {
  if (!started_) return;  // as for pictures
  const auto& id = event.id;
  switch (event.kind) {
    case ProgramEvent::Kind::onAir:
      if (switchingToMicID_ == id) switchingToMicID_.reset();
      onAirMicID_.set(id);
      return;

    case ProgramEvent::Kind::switchFailed:
      if (switchingToMicID_ == id) switchingToMicID_.reset();
      // The previous microphone stays on air.
      post(StudioNotice(sourcenotices::couldNotUseMicrophone(event.name, event.reason), StudioNotice::Kind::warning),
           kNoticeSeconds);
      return;

    case ProgramEvent::Kind::onAirSourceFailed: {
      // The system default first, then the list; one that cannot be opened is
      // passed over, so the notice names a microphone that is really taking over.
      std::vector<MicDevice> candidates;
      if (const auto fallback = systemDefaultMicrophone(); fallback && fallback->id != id) candidates.push_back(*fallback);
      for (const auto& microphone : microphones_.value())
        if (microphone.id != id) candidates.push_back(microphone);
      for (const auto& candidate : candidates) {
        if (!putMicrophoneOnAir(candidate.id)) continue;
        post(StudioNotice(sourcenotices::microphoneStoppedNowUsing(event.name, candidate.name),
                          StudioNotice::Kind::warning),
             kNoticeSeconds);
        return;
      }
      post(StudioNotice(sourcenotices::microphoneStopped(event.name), StudioNotice::Kind::warning), kNoticeSeconds);
      return;
    }

    case ProgramEvent::Kind::onAirSourceStalled:
      Log::onAirMicrophoneStalled(event.name, kLogFile);
      if (mayRestart(id)) {
        if (auto source = makeAudioSource(id)) {
          Log::reopening(event.name, kLogFile);
          // The program sound drops a switch that has not gone on air yet to
          // reopen the on-air microphone, and says nothing of it: that
          // microphone is no longer being switched to, and may be asked for again.
          switchingToMicID_.reset();
          audio_->restart(std::move(source));
          return;
        }
      }
      handleAudioEvent(ProgramEvent::onAirSourceFailed(id, event.name, ProgramAudio::kStoppedSendingAudio));
      return;
  }
}

// ---- Restarts

bool StudioEngine::mayRestart(const std::string& id) {
  // The runtime's clock only moves forward, so a change of the wall clock
  // neither empties nor stretches the window.
  const double now = nowSeconds();
  std::vector<double> recent;
  if (const auto it = restartHistory_.find(id); it != restartHistory_.end())
    for (const double at : it->second)
      if (now - at < kRestartWindow) recent.push_back(at);
  if (recent.size() >= kRestartsPerWindow) return false;
  recent.push_back(now);
  restartHistory_[id] = std::move(recent);
  return true;
}

// ---- Suspension

void StudioEngine::cameraDidSuspend(const std::string& id) {
  if (suspendedOnAirCameraID_ == id) return;  // handled once
  const auto camera = listedCamera(id);
  if (!camera) return;
  suspendedOnAirCameraID_ = id;
  Log::cameraSuspended(*camera, kLogFile);
  if (settings_.value().autoFailover) {
    auto excluding = failedCameraIDs_;
    excluding.insert(id);
    if (const auto other = failOverToPreferredCamera(std::move(excluding))) {
      failoverFromCameraID_ = id;
      post(StudioNotice(sourcenotices::cameraTurnedOffSwitched(camera->name, other->name),
                        StudioNotice::Kind::warning),
           kNoticeSeconds);
      return;
    }
  }
  post(StudioNotice(suspendedCameraMessage(*camera), StudioNotice::Kind::warning), kSuspendedNoticeSeconds);
}

void StudioEngine::cameraDidResume(const std::string& id) {
  const auto camera = listedCamera(id);
  if (!camera) return;
  Log::cameraAvailableAgain(*camera, kLogFile);
  failedCameraIDs_.erase(id);
  if (suspendedOnAirCameraID_ == id) suspendedOnAirCameraID_.reset();
  if (onAirCameraID_.value() == id) {
    // Most cameras resume by themselves; look again once they had the time.
    std::weak_ptr<StudioEngine> weak = weak_from_this();
    mainQueue()->asyncAfter(platform::seconds(kResumeRecheck), [weak, id] {
      if (auto self = weak.lock()) self->reopenIfStillOnAir(id);
    });
    return;
  }
  // A camera chosen while it was off goes on air now.
  if (selectedCameraID_.value() == id && switchingToCameraID_.value() != id) switchToCamera(id);
}

void StudioEngine::reopenIfStillOnAir(const std::string& id) {
  if (!started_ || onAirCameraID_.value() != id) return;
  if (auto source = makeVideoSource(id)) video_->reopenIfStalled(std::move(source));
}

// ---- Device changes

void StudioEngine::reactToDeviceChanges(const std::set<std::string>& oldCameraIDs,
                                        const std::set<std::string>& newlySuspended,
                                        const std::set<std::string>& resumed,
                                        const std::optional<std::string>& oldDefaultMicID) {
  for (const auto& id : newlySuspended)
    if (onAirCameraID_.value() == id || switchingToCameraID_.value() == id) cameraDidSuspend(id);
  for (const auto& id : resumed) cameraDidResume(id);

  const auto listedAwake = [this](const std::string& id) {
    const auto camera = listedCamera(id);
    return camera && !camera->isSuspended ? camera : std::nullopt;
  };

  // A failed on-air camera that vanished and is listed again goes back on air.
  if (const auto onAir = onAirCameraID_.value();
      onAir && failedCameraIDs_.count(*onAir) && !switchingToCameraID_.value() && !oldCameraIDs.count(*onAir)) {
    if (const auto camera = listedAwake(*onAir)) {
      Log::sourceBack(*camera, kLogFile);
      failedCameraIDs_.erase(*onAir);
      switchToCamera(*onAir);
    }
  }

  // The camera switched away from is offered back; the picture stays as it is.
  if (const auto from = failoverFromCameraID_; from && from != onAirCameraID_.value()) {
    if (const auto camera = listedAwake(*from)) {
      failedCameraIDs_.erase(*from);
      failoverFromCameraID_.reset();
      std::weak_ptr<StudioEngine> weak = weak_from_this();
      post(StudioNotice(sourcenotices::cameraBack(camera->name), StudioNotice::Kind::info, sourcenotices::kSwitchBack,
                        [weak, id = *from] {
                          if (auto self = weak.lock()) self->selectCamera(id);
                        }),
           kSwitchBackNoticeSeconds);
    }
  }

  if (!onAirCameraID_.value() && !switchingToCameraID_.value()) {
    if (const auto initial = initialCameraID()) {
      selectedCameraID_.set(initial);
      switchToCamera(*initial);
    }
  }

  const auto selection = micSelection_.value();
  if (selection.isSystem() && systemDefaultMicID_.value() != oldDefaultMicID) applyMicSelection();
  // A chosen microphone that returns while a stand-in is on air stays off air.
  if (const auto chosen = selection.deviceID(); chosen && !onAirMicID_.value()) {
    const auto microphones = microphones_.value();
    if (std::any_of(microphones.begin(), microphones.end(), [&](const auto& m) { return m.id == *chosen; }))
      applyMicSelection();
  }
}

// ---- Screen share

void StudioEngine::leaveScreenShare() {
  auto current = switchingToCameraID_.value();
  if (!current) current = onAirCameraID_.value();
  if (!current) current = selectedCameraID_.value();
  if (current != std::optional<std::string>(kScreenShareID)) return;  // the host has moved on already

  std::optional<CameraDevice> back;
  if (cameraBeforeShare_)
    if (auto camera = listedCamera(*cameraBeforeShare_); camera && camera->kind != CameraDevice::Kind::screen)
      back = camera;
  cameraBeforeShare_.reset();
  if (!back) back = preferredCamera({kScreenShareID});
  if (!back) return;
  selectCamera(back->id);
}

}  // namespace quarzadel
