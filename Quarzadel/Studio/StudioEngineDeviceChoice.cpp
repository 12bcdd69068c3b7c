// The Studio's camera and microphone choice: the lists offered to the host, the
// camera it starts with, the host's picks, and the sources handed to the program.
#include <algorithm>
#include <limits>
#include <system_error>
#include <utility>

#include "Quarzadel/Capture/CameraCapture.h"
#include "Quarzadel/Capture/MicCapture.h"
#include "Quarzadel/Capture/ScreenFrameSource.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Studio/CameraPreference.h"
#include "Quarzadel/Studio/DeviceAccess.h"
#include "Quarzadel/Studio/SourceNotices.h"
#include "Quarzadel/Studio/StudioEngine.h"

namespace quarzadel {

namespace {

constexpr const char* kSyntheticPrefix = "synthetic-";

bool isSynthetic(const std::string& id) { return id.starts_with(kSyntheticPrefix); }

}  // namespace

// ---- The lists

void StudioEngine::devicesDidChange() {
  std::vector<CameraDevice> cameras;
  std::vector<MicDevice> microphones;
  if (devices_ && cameraPermission_.value() == Permission::granted) cameras = devices_->cameras.value();
  if (devices_ && microphonePermission_.value() == Permission::granted) microphones = devices_->microphones.value();
  if (syntheticSourcesOn()) {
    for (const auto& spec : SyntheticSources::specs()) {
      const auto fault = SyntheticSources::fault(spec.id);
      if (fault == SyntheticSources::Fault::unplugged) continue;
      cameras.push_back({spec.id, spec.name, CameraDevice::Kind::virtual_, "synthetic",
                         fault == SyntheticSources::Fault::suspended});
    }
    const auto& tone = SyntheticSources::toneSpec();
    microphones.push_back({tone.id, tone.name, false, true});
  }
  if (const auto share = screenShareName_.value()) cameras.push_back(CameraDevice::screenShare(*share));

  std::set<std::string> oldCameraIDs;
  for (const auto& camera : cameras_.value()) oldCameraIDs.insert(camera.id);
  if (cameras != cameras_.value()) cameras_.set(cameras);
  if (microphones != microphones_.value()) microphones_.set(microphones);
  const auto oldDefaultMicID = systemDefaultMicID_.value();
  systemDefaultMicID_.set(devices_ ? devices_->systemDefaultMicID.value() : std::nullopt);

  std::set<std::string> suspended;
  for (const auto& camera : cameras)
    if (camera.isSuspended) suspended.insert(camera.id);
  std::set<std::string> newlySuspended, resumed;
  std::set_difference(suspended.begin(), suspended.end(), suspendedCameraIDs_.begin(), suspendedCameraIDs_.end(),
                      std::inserter(newlySuspended, newlySuspended.end()));
  std::set_difference(suspendedCameraIDs_.begin(), suspendedCameraIDs_.end(), suspended.begin(), suspended.end(),
                      std::inserter(resumed, resumed.end()));
  suspendedCameraIDs_ = std::move(suspended);

  // While the Studio opens (or once it has closed) only the lists change.
  if (started_ && !status_.value().isStarting())
    reactToDeviceChanges(oldCameraIDs, newlySuspended, resumed, oldDefaultMicID);
}

bool StudioEngine::syntheticSourcesOn() const { return defaults_->boolean("SyntheticSources"); }

std::optional<CameraDevice> StudioEngine::listedCamera(const std::string& id) const {
  for (const auto& camera : cameras_.value())
    if (camera.id == id) return camera;
  return std::nullopt;
}

// ---- Cameras

std::optional<std::string> StudioEngine::initialCameraID() const {
  return CameraPreference::initial(cameras_.value(), defaults_->string("InitialCamera"),
                                   defaults_->string("StudioCameraID"));
}

std::optional<CameraDevice> StudioEngine::preferredCamera(const std::set<std::string>& excluding) const {
  return CameraPreference::preferred(cameras_.value(), excluding);
}

void StudioEngine::selectCamera(const std::string& id) {
  // Choosing a failed on-air camera again is how the host asks for it anew.
  if (selectedCameraID_.value() == id && onAirCameraID_.value() == id && !failedCameraIDs_.count(id)) return;
  selectedCameraID_.set(id);
  failoverFromCameraID_.reset();  // any choice ends a pending offer to switch back
  if (!isSynthetic(id) && id != kScreenShareID) storeChoice("StudioCameraID", id);

  if (const auto camera = listedCamera(id); camera && isCameraSuspended(id)) {
    // Stays chosen and goes on air when it resumes.
    post(StudioNotice(sourcenotices::chosenCameraSuspended(*camera), StudioNotice::Kind::info),
         kSuspendedNoticeSeconds);
    return;
  }
  switchToCamera(id);
}

void StudioEngine::selectNextCamera() {
  const auto cameras = cameras_.value();
  if (cameras.empty()) return;
  auto current = switchingToCameraID_.value();
  if (!current) current = onAirCameraID_.value();
  if (!current) current = selectedCameraID_.value();
  long position = -1;
  if (current) {
    const auto it = std::find_if(cameras.begin(), cameras.end(), [&](const auto& c) { return c.id == *current; });
    if (it != cameras.end()) position = it - cameras.begin();
  }
  selectCamera(cameras[static_cast<size_t>(position + 1) % cameras.size()].id);
}

void StudioEngine::switchToCamera(const std::string& id) {
  if (!putCameraOnAir(id))
    post(StudioNotice(sourcenotices::kNoLongerConnected, StudioNotice::Kind::warning), kNoticeSeconds);
}

bool StudioEngine::putCameraOnAir(const std::string& id) {
  auto source = makeVideoSource(id);
  if (!source) return false;
  if (onAirCameraID_.value() != id) switchingToCameraID_.set(id);
  Log::switchingCamera(source, kLogFile);
  video_->switchTo(std::move(source));
  return true;
}

std::shared_ptr<VideoFrameSource> StudioEngine::makeVideoSource(const std::string& id) {
  if (id == kScreenShareID) {
    if (!screenShare_->content()) return nullptr;
    return std::make_shared<ScreenFrameSource>(screenShare_->frames(),
                                               screenShareName_.value().value_or(ScreenFrameSource::kDefaultName));
  }
  if (const auto spec = SyntheticSources::spec(id)) return SyntheticVideoSource::make(*spec, runtime_);
  const auto target = settings_.value().streamConfig(*defaults_);
  if (environment_.makeCamera) return environment_.makeCamera(id, target);
  return CameraCapture::makeForDevice(id, target);
}

bool StudioEngine::isCameraSuspended(const std::string& id) const {
  // Asks the device now: the lists may be a refresh behind.
  if (isSynthetic(id)) return SyntheticSources::fault(id) == SyntheticSources::Fault::suspended;
  if (id == kScreenShareID) return false;
  if (environment_.cameraSuspended) return environment_.cameraSuspended(id);
  return systemDevices_.cameras && systemDevices_.cameras->isSuspended(id);
}

std::string StudioEngine::suspendedCameraMessage(const CameraDevice& camera) {
  return sourcenotices::cameraSuspended(camera);
}

std::optional<CameraDevice> StudioEngine::suspendedCurrentCamera() const {
  const auto cameras = cameras_.value();
  const auto suspendedWith = [&](const std::string& id) -> std::optional<CameraDevice> {
    for (const auto& c : cameras)
      if (c.id == id) return c.isSuspended ? std::optional(c) : std::nullopt;
    return std::nullopt;
  };
  if (const auto onAir = onAirCameraID_.value()) return suspendedWith(*onAir);
  if (switchingToCameraID_.value()) return std::nullopt;
  if (const auto selected = selectedCameraID_.value())
    if (auto camera = suspendedWith(*selected)) return camera;
  for (const auto& c : cameras)
    if (c.isSuspended && c.kind == CameraDevice::Kind::builtIn) return c;
  for (const auto& c : cameras)
    if (c.isSuspended) return c;
  return std::nullopt;
}

std::optional<std::string> StudioEngine::cameraName(const std::optional<std::string>& id) const {
  if (!id) return std::nullopt;
  if (auto camera = listedCamera(*id)) return camera->name;
  return std::nullopt;
}

// ---- Microphones

void StudioEngine::selectMicrophone(const std::optional<std::string>& id) {
  micSelection_.set(id ? MicSelection::device(*id) : MicSelection::system());
  if (!(id && isSynthetic(*id))) storeChoice("StudioMicSelection", id.value_or("system"));
  applyMicSelection();
}

void StudioEngine::applyMicSelection() {
  // A chosen microphone that is missing is stood in for, not forgotten: the
  // choice applies again when it returns.
  if (const auto chosen = micSelection_.value().deviceID()) {
    const auto microphones = microphones_.value();
    if (std::any_of(microphones.begin(), microphones.end(), [&](const auto& m) { return m.id == *chosen; })) {
      switchToMicrophone(*chosen);
      return;
    }
  }
  if (const auto fallback = systemDefaultMicrophone()) switchToMicrophone(fallback->id);
}

std::optional<MicDevice> StudioEngine::systemDefaultMicrophone() const {
  const auto microphones = microphones_.value();
  if (microphones.empty()) return std::nullopt;
  if (const auto id = systemDefaultMicID_.value())
    for (const auto& m : microphones)
      if (m.id == *id) return m;
  return microphones.front();
}

void StudioEngine::switchToMicrophone(const std::string& id) { putMicrophoneOnAir(id); }

bool StudioEngine::putMicrophoneOnAir(const std::string& id) {
  if (switchingToMicID_ == id) return true;
  // Asked for while another microphone is being switched to, the one on air
  // takes that switch's place: the program sound cuts back to a new capture of it.
  if (onAirMicID_.value() == id && !switchingToMicID_) return true;
  auto source = makeAudioSource(id);
  if (!source) return false;
  switchingToMicID_ = id;
  Log::switchingMicrophone(source, kLogFile);
  audio_->switchTo(std::move(source));
  return true;
}

std::shared_ptr<AudioFrameSource> StudioEngine::makeAudioSource(const std::string& id) {
  if (id == SyntheticSources::toneSpec().id) return std::make_shared<SyntheticToneSource>();
  if (environment_.makeMicrophone) return environment_.makeMicrophone(id);
  if (!devices_ || !systemDevices_.audioCapture) return nullptr;
  for (const auto& microphone : devices_->microphones.value())
    if (microphone.id == id) return std::make_shared<MicCapture>(microphone.id, microphone.name, systemDevices_.audioCapture);
  return nullptr;
}

std::string StudioEngine::systemMicrophoneLabel() const {
  if (const auto name = microphoneName(systemDefaultMicID_.value())) return "Same as System (" + *name + ")";
  return "Same as System";
}

std::optional<std::string> StudioEngine::microphoneName(const std::optional<std::string>& id) const {
  if (!id) return std::nullopt;
  for (const auto& m : microphones_.value())
    if (m.id == *id) return m.name;
  return std::nullopt;
}

void StudioEngine::storeChoice(const std::string& key, const std::string& value) {
  try {
    defaults_->set(key, value);
  } catch (const std::system_error&) {
  }
}

// ---- Permissions

StudioEngine::Permission StudioEngine::currentAccess(platform::MediaType type) {
  if (environment_.access) return environment_.access(type);
  if (type == platform::MediaType::video) return DeviceAccess::camera();
  const bool reached = reachMicrophones();
  // Not known until the sound server answers: a server that is up but has not
  // said so yet must not be taken for a refusal.
  if (!reached && reachingSoundServer_) return Permission::unknown;
  return DeviceAccess::microphone(reached);
}

// The sound server may have come up after the Studio opened (or the
// application started): each look at the access tries it again, off the main
// queue, and the answer fills the catalogue and looks at the access once more.
bool StudioEngine::reachMicrophones() {
  if (systemDevices_.microphones) return true;
  if (!systemDevices_.soundServer) return false;
  if (reachingSoundServer_) {
    // A server started during a try that is still waiting is tried once that try ends.
    soundServerAskedAgain_ = true;
    return false;
  }
  reachingSoundServer_ = true;
  soundServerAskedAgain_ = false;
  soundServerQueue_->async([weak = weak_from_this(), main = mainQueue(), connect = systemDevices_.soundServer] {
    std::shared_ptr<platform::PulseAudioContext> context;
    try {
      context = connect();
    } catch (const std::exception&) {
    }
    main->async([weak, context = std::move(context)]() mutable {
      if (auto self = weak.lock()) self->soundServerAnswered(std::move(context));
    });
  });
  return false;
}

void StudioEngine::soundServerAnswered(std::shared_ptr<platform::PulseAudioContext> context) {
  reachingSoundServer_ = false;
  if (systemDevices_.microphones) return;
  if (!context) {
    // No server: a microphone that was still being asked is denied now.
    if (microphonePermission_.value() == Permission::unknown) {
      microphonePermission_.set(Permission::denied);
      if (std::exchange(permissionsLineWaits_, false) && started_)
        Log::permissions(name(cameraPermission_.value()), name(microphonePermission_.value()), kLogFile);
    }
    if (soundServerAskedAgain_ && started_) reachMicrophones();
    return;
  }
  systemDevices_.useSoundServer(std::move(context));
  if (devices_) devices_->adoptMicrophones(systemDevices_.microphones);
  // While the Studio opens, start() looks again once it has finished.
  if (started_ && !status_.value().isStarting()) refreshPermissions();
}

platform::Async<StudioEngine::Permission> StudioEngine::requestAccess(platform::MediaType type) {
  co_return currentAccess(type);
}

void StudioEngine::refreshPermissions() {
  if (!started_ || SyntheticSources::skipsPermissionPrompts()) return;
  bool changed = false;
  // Access only ever widens here; a withdrawn access shows when a device fails.
  if (cameraPermission_.value() != Permission::granted &&
      currentAccess(platform::MediaType::video) == Permission::granted) {
    cameraPermission_.set(Permission::granted);
    changed = true;
  }
  if (microphonePermission_.value() != Permission::granted &&
      currentAccess(platform::MediaType::audio) == Permission::granted) {
    microphonePermission_.set(Permission::granted);
    changed = true;
  }
  if (!changed) return;
  if (!permissionsLineWaits_) {
    Log::permissionsChanged(name(cameraPermission_.value()), name(microphonePermission_.value()), kLogFile);
  } else if (microphonePermission_.value() != Permission::unknown) {
    // The sound server's first answer: the Studio's first word on access.
    permissionsLineWaits_ = false;
    Log::permissions(name(cameraPermission_.value()), name(microphonePermission_.value()), kLogFile);
  }
  devicesDidChange();
  if (!onAirCameraID_.value() && !switchingToCameraID_.value()) {
    if (const auto initial = initialCameraID()) {
      selectedCameraID_.set(initial);
      switchToCamera(*initial);
    }
  }
  if (!onAirMicID_.value()) applyMicSelection();
}

// ---- Bit rate

platform::Async<void> StudioEngine::setVideoBitrate(int64_t kbps) {
  auto self = shared_from_this();
  int64_t bitsPerSecond = 0;
  if (__builtin_mul_overflow(kbps, int64_t{1000}, &bitsPerSecond))
    bitsPerSecond = kbps < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  co_await publisher_->setVideoBitrate(bitsPerSecond);
}

}  // namespace quarzadel
