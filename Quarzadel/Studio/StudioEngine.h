#pragma once
// The central object of one open Studio. It owns the program picture and sound,
// the preview, the publisher, the power assertion, the local copy's slot, the
// event-status poller and the screen share for the life of one Studio window;
// it chooses cameras and microphones (and fails over between them), shows one
// notice at a time and turns the publisher's states into the Studio's status.
//
// Bound to the runtime's main queue: every member function runs there, and
// every published property is written there only (observers subscribe with the
// main queue). Program media never pass through the main queue: the fan-out
// closures run on the pipelines' queues and touch only the preview, the
// publisher's gate and the recorder slot, each behind its own lock. Callbacks
// from the pipelines, the publisher and the screen share hold the engine weakly.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/Concurrency/Async.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/Runtime.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Published/Published.h"
#include "Platform/Published/Subscription.h"
#include "Platform/Time/Date.h"
#include "Quarzadel/App/AppActivation.h"
#include "Quarzadel/Capture/CameraDevice.h"
#include "Quarzadel/Capture/DeviceCatalog.h"
#include "Quarzadel/Capture/MicDevice.h"
#include "Quarzadel/Capture/MicSelection.h"
#include "Quarzadel/Capture/ScreenShare.h"
#include "Quarzadel/Capture/SystemDevices.h"
#include "Quarzadel/Log/SessionLog.h"
#include "Quarzadel/Program/AudioFrameSource.h"
#include "Quarzadel/Program/AudioLevel.h"
#include "Quarzadel/Program/PreviewSink.h"
#include "Quarzadel/Program/ProgramAudio.h"
#include "Quarzadel/Program/ProgramEvent.h"
#include "Quarzadel/Program/ProgramVideo.h"
#include "Quarzadel/Program/VideoFrameSource.h"
#include "Quarzadel/Studio/EventStatusPoller.h"
#include "Quarzadel/Studio/LocalRecorder.h"
#include "Quarzadel/Studio/PowerAssertion.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "Quarzadel/Studio/RecorderSlot.h"
#include "Quarzadel/Studio/StudioEngineStatus.h"
#include "Quarzadel/Studio/StudioEvent.h"
#include "Quarzadel/Studio/StudioNotice.h"
#include "Quarzadel/Studio/StudioNoticeView.h"
#include "Quarzadel/Studio/StudioSettings.h"

namespace quarzadel {

class StudioEngine : public std::enable_shared_from_this<StudioEngine> {
 public:
  using Status = StudioEngineStatus;
  using Permission = StudioEnginePermission;

  static constexpr double kPollInterval = 10.0;
  static constexpr double kNoticeSeconds = 6;
  static constexpr double kSuspendedNoticeSeconds = 10;
  static constexpr double kSwitchBackNoticeSeconds = 15;
  static constexpr double kSavedCopyNoticeSeconds = 20;
  static constexpr const char* kScreenShareID = CameraDevice::kScreenShareID;
  static constexpr const char* kStreamingReason = "Streaming ";
  // The engine's log lines carry its one category ("StudioEngine"), whichever of
  // its source files writes them.
  static constexpr const char* kLogFile = "StudioEngine.cpp";
  // Followed by the folder or file and why it cannot be written.
  static constexpr const char* kSessionLogProblem = "This session isn't logged on this computer: ";

  // What the engine takes from its surroundings. Every empty member means the
  // machine's own.
  struct Environment {
    std::shared_ptr<platform::Runtime> runtime;        // empty: the shared runtime
    std::shared_ptr<platform::WallClock> wallClock;    // empty: the system clock
    std::shared_ptr<platform::UserDefaults> defaults;  // empty: the standard defaults
    // The capture layers sources are made from; none: SystemDevices::make().
    // Members left null mean nothing of that kind (synthetic sources still work).
    std::optional<SystemDevices> devices;
    // The publisher; empty: a real one made with `publisherEnvironment`.
    std::shared_ptr<RTMPPublisher> publisher;
    RTMPPublisher::Environment publisherEnvironment;
    EventStatusPoller::Environment pollerEnvironment;
    PowerAssertion::Environment powerEnvironment;
    // The local copy's surroundings; none: LocalRecorder::Environment::standard().
    std::optional<LocalRecorder::Environment> recorderEnvironment;
    // Free space of the copy's volume; empty: statvfs.
    LocalRecorder::VolumeSpace volumeSpace;
    std::shared_ptr<SessionLog> sessionLog;  // empty: the shared session log
    // Sends a closed session log; empty: SessionLog::upload.
    std::function<void(const std::filesystem::path&)> uploadLog;
    // The current camera or microphone access; empty: whether the devices open.
    std::function<Permission(platform::MediaType)> access;
    // A capture source for a device identifier, none when no device has it;
    // empty: V4L2 camera capture and sound-server capture.
    std::function<std::shared_ptr<VideoFrameSource>(const std::string& id, const StreamConfig& target)> makeCamera;
    std::function<std::shared_ptr<AudioFrameSource>(const std::string& id)> makeMicrophone;
    // A device's suspended state now; empty: the camera listing's.
    std::function<bool(const std::string& id)> cameraSuspended;
    // The application's activations, each a reason to look at the camera and
    // microphone access again; empty: none.
    std::shared_ptr<AppActivation> activation;
  };

  // Builds and wires the engine; status `starting`. `devices` is shared, not copied.
  static std::shared_ptr<StudioEngine> make(StudioEvent event, std::shared_ptr<DeviceCatalog> devices,
                                            Environment environment = {});
  StudioEngine(StudioEvent event, std::shared_ptr<DeviceCatalog> devices, Environment environment);
  ~StudioEngine();
  StudioEngine(const StudioEngine&) = delete;
  StudioEngine& operator=(const StudioEngine&) = delete;

  // ---- Lifecycle
  // Opens the session once: session log, pipelines, permissions, devices, the
  // initial camera and microphone; ends with status `ready`.
  platform::Async<void> start();
  // Starts the publication unless one is under way; the status follows the publisher.
  void goLive();
  // Stops the publication, finishes the local copy, ends the power assertion.
  platform::Async<void> stop();
  // Ends the session once: stops what runs, closes and uploads the session log.
  platform::Async<void> close();

  // ---- Host choices (main queue)
  void setMuted(bool muted);
  void setSettings(StudioSettings settings);
  // Told every status change, after `status` holds it.
  std::function<void(const Status&)> onStatusChange;

  // ---- Notices
  // Shows `notice` at once in place of any other and clears it after `seconds`
  // unless a newer notice, or the host, has cleared it first.
  void post(StudioNotice notice, double seconds);
  // The notice view's dismiss control.
  void dismissNotice();
  // The notice shown with its dismiss control, none when nothing is shown.
  std::optional<NoticeView> noticeView();

  // ---- Event
  // Merges an event-status answer or the page's update into the event and
  // publishes it only when it changed.
  void updateEvent(const nlohmann::json& payload);

  // ---- Publisher and screen-share callbacks
  void publisherStateDidChange(const RTMPPublisher::State& state);
  void screenShareDidStart(ScreenShare::Content content);
  void screenShareDidStop(const std::optional<std::string>& reason);

  // ---- Local copy
  void startLocalCopy();
  platform::Async<void> finishRecording();

  // ---- Camera and microphone choice
  void devicesDidChange();
  std::optional<std::string> initialCameraID() const;
  std::optional<CameraDevice> preferredCamera(const std::set<std::string>& excluding) const;
  void selectCamera(const std::string& id);
  void selectNextCamera();
  void switchToCamera(const std::string& id);
  std::shared_ptr<VideoFrameSource> makeVideoSource(const std::string& id);
  bool isCameraSuspended(const std::string& id) const;
  void selectMicrophone(const std::optional<std::string>& id);
  void applyMicSelection();
  std::optional<MicDevice> systemDefaultMicrophone() const;
  void switchToMicrophone(const std::string& id);
  std::shared_ptr<AudioFrameSource> makeAudioSource(const std::string& id);
  std::string systemMicrophoneLabel() const;
  std::optional<std::string> cameraName(const std::optional<std::string>& id) const;
  std::optional<std::string> microphoneName(const std::optional<std::string>& id) const;
  std::optional<CameraDevice> suspendedCurrentCamera() const;
  static std::string suspendedCameraMessage(const CameraDevice& camera);
  platform::Async<Permission> requestAccess(platform::MediaType type);
  void refreshPermissions();
  // Saturates where kbit/s times 1000 leaves 64 bits.
  platform::Async<void> setVideoBitrate(int64_t kbps);

  // ---- Failover
  void handleVideoEvent(const ProgramEvent& event);
  void handleAudioEvent(const ProgramEvent& event);
  bool mayRestart(const std::string& id);
  void cameraDidSuspend(const std::string& id);
  void cameraDidResume(const std::string& id);
  void reopenIfStillOnAir(const std::string& id);
  void leaveScreenShare();

  // ---- Published properties: read anywhere, subscribe with the main queue.
  const platform::Published<StudioEvent>& event() const { return event_; }
  const platform::Published<Status>& status() const { return status_; }
  const platform::Published<RTMPPublisher::Stats>& stats() const { return stats_; }
  const platform::Published<AudioLevel>& level() const { return level_; }
  const platform::Published<Permission>& cameraPermission() const { return cameraPermission_; }
  const platform::Published<Permission>& microphonePermission() const { return microphonePermission_; }
  const platform::Published<std::optional<std::string>>& onAirCameraID() const { return onAirCameraID_; }
  const platform::Published<std::optional<std::string>>& switchingToCameraID() const { return switchingToCameraID_; }
  const platform::Published<std::optional<std::string>>& onAirMicID() const { return onAirMicID_; }
  const platform::Published<std::optional<std::string>>& selectedCameraID() const { return selectedCameraID_; }
  const platform::Published<MicSelection>& micSelection() const { return micSelection_; }
  const platform::Published<std::optional<StudioNotice>>& notice() const { return notice_; }
  const platform::Published<std::optional<std::string>>& problem() const { return problem_; }
  const platform::Published<std::vector<CameraDevice>>& cameras() const { return cameras_; }
  const platform::Published<std::vector<MicDevice>>& microphones() const { return microphones_; }
  const platform::Published<std::optional<std::string>>& systemDefaultMicID() const { return systemDefaultMicID_; }
  const platform::Published<std::optional<std::filesystem::path>>& recordingURL() const { return recordingURL_; }
  const platform::Published<bool>& isMuted() const { return isMuted_; }
  const platform::Published<StudioSettings>& settings() const { return settings_; }
  const platform::Published<std::optional<std::string>>& screenShareName() const { return screenShareName_; }

  // ---- Components
  const std::shared_ptr<PreviewSink>& preview() const { return preview_; }
  const std::shared_ptr<DeviceCatalog>& devices() const { return devices_; }
  const std::shared_ptr<ProgramVideo>& video() const { return video_; }
  const std::shared_ptr<ProgramAudio>& audio() const { return audio_; }
  const std::shared_ptr<RTMPPublisher>& publisher() const { return publisher_; }
  PowerAssertion& power() { return *power_; }
  RecorderSlot& recorder() { return *recorder_; }
  EventStatusPoller& eventPoller() { return *eventPoller_; }
  const std::shared_ptr<ScreenShare>& screenShare() const { return screenShare_; }
  const std::shared_ptr<platform::Runtime>& runtime() const { return runtime_; }
  const std::shared_ptr<platform::UserDefaults>& defaults() const { return defaults_; }

  // ---- Bookkeeping, read-only (main queue)
  bool isStarted() const { return started_; }
  const std::set<std::string>& failedCameraIDs() const { return failedCameraIDs_; }
  const std::optional<std::string>& failoverFromCameraID() const { return failoverFromCameraID_; }
  const std::map<std::string, std::vector<double>>& restartHistory() const { return restartHistory_; }
  const std::set<std::string>& suspendedCameraIDs() const { return suspendedCameraIDs_; }
  const std::optional<std::string>& suspendedOnAirCameraID() const { return suspendedOnAirCameraID_; }
  const std::optional<std::string>& cameraBeforeShare() const { return cameraBeforeShare_; }

  // "RTMPServerOverride" when present and non-empty, read anew at every call.
  std::optional<std::string> rtmpServerOverride() const;

 private:
  void wire();
  void reportStatus(const Status& status);
  void beginPowerAssertion();
  void showRecorderNotice(const std::optional<RecorderNotice>& notice);
  double nowSeconds() const;
  platform::Date nowDate() const;
  std::shared_ptr<platform::SerialQueue> mainQueue() const { return runtime_->mainQueue(); }

  // Environment
  Environment environment_;
  std::shared_ptr<platform::Runtime> runtime_;
  std::shared_ptr<platform::WallClock> wallClock_;
  std::shared_ptr<platform::UserDefaults> defaults_;
  std::shared_ptr<SessionLog> sessionLog_;
  SystemDevices systemDevices_;

  // Published
  platform::Published<StudioEvent> event_;
  platform::Published<Status> status_{Status::starting()};
  platform::Published<RTMPPublisher::Stats> stats_;
  platform::Published<AudioLevel> level_;
  platform::Published<Permission> cameraPermission_{Permission::unknown};
  platform::Published<Permission> microphonePermission_{Permission::unknown};
  platform::Published<std::optional<std::string>> onAirCameraID_;
  platform::Published<std::optional<std::string>> switchingToCameraID_;
  platform::Published<std::optional<std::string>> onAirMicID_;
  platform::Published<std::optional<std::string>> selectedCameraID_;
  platform::Published<MicSelection> micSelection_{MicSelection::system()};
  platform::Published<std::optional<StudioNotice>> notice_;
  platform::Published<std::optional<std::string>> problem_;
  platform::Published<std::vector<CameraDevice>> cameras_;
  platform::Published<std::vector<MicDevice>> microphones_;
  platform::Published<std::optional<std::string>> systemDefaultMicID_;
  platform::Published<std::optional<std::filesystem::path>> recordingURL_;
  platform::Published<bool> isMuted_{false};
  platform::Published<StudioSettings> settings_;
  platform::Published<std::optional<std::string>> screenShareName_;

  // Fixed
  std::shared_ptr<PreviewSink> preview_;
  std::shared_ptr<DeviceCatalog> devices_;
  std::shared_ptr<ProgramVideo> video_;
  std::shared_ptr<ProgramAudio> audio_;
  std::shared_ptr<RTMPPublisher> publisher_;
  std::unique_ptr<PowerAssertion> power_;
  std::shared_ptr<RecorderSlot> recorder_;
  std::unique_ptr<EventStatusPoller> eventPoller_;
  std::shared_ptr<ScreenShare> screenShare_;

  // Plain
  std::vector<platform::Subscription> cancellables_;
  std::optional<platform::TaskHandle<void>> noticeTask_;
  bool started_ = false;
  // Stops in flight: a goLive() meanwhile runs once the last has ended, so
  // the stop cannot end the new live period's copy or power assertion.
  int stopsInFlight_ = 0;
  bool goLiveAfterStop_ = false;
  std::optional<std::string> cameraBeforeShare_;

  // Device choice and failover
  // (members of the camera and microphone choice and of the automatic failover;
  // add what they need here)
  std::set<std::string> failedCameraIDs_;
  std::optional<std::string> failoverFromCameraID_;
  std::map<std::string, std::vector<double>> restartHistory_;  // runtime seconds of each restart
  std::set<std::string> suspendedCameraIDs_;
  std::optional<std::string> suspendedOnAirCameraID_;
  // The second half of devicesDidChange(): what the engine does about what changed.
  void reactToDeviceChanges(const std::set<std::string>& oldCameraIDs, const std::set<std::string>& newlySuspended,
                            const std::set<std::string>& resumed, const std::optional<std::string>& oldDefaultMicID);
  // Hands a new source for the camera to the program picture; false (and no
  // notice) when none can be made.
  bool putCameraOnAir(const std::string& id);
  // The same for a microphone; true also when it is on air already.
  bool putMicrophoneOnAir(const std::string& id);
  // The first camera by preference, not excluded, whose source can be made and
  // is handed to the program picture; none when no camera can take over.
  std::optional<CameraDevice> failOverToPreferredCamera(std::set<std::string> excluding);
  std::optional<CameraDevice> listedCamera(const std::string& id) const;
  bool syntheticSourcesOn() const;
  // Camera or microphone access as the system grants it now; the microphone's
  // is unknown while the sound server is being asked.
  Permission currentAccess(platform::MediaType type);
  // Whether there is a sound server to take microphones from. Without one it
  // starts a try off the main queue, whose answer arrives at soundServerAnswered().
  bool reachMicrophones();
  void soundServerAnswered(std::shared_ptr<platform::PulseAudioContext> context);
  // A server that accepts and then says nothing holds a try until it times
  // out: the tries run here, one at a time, never on the main queue.
  std::shared_ptr<platform::SerialQueue> soundServerQueue_;
  bool reachingSoundServer_ = false;
  bool soundServerAskedAgain_ = false;
  // start()'s permissions line, held back until the sound server's first answer.
  bool permissionsLineWaits_ = false;
  // The microphone handed to the program sound that has not gone on air (nor
  // failed) yet: asked for again meanwhile, it is not made a second time.
  std::optional<std::string> switchingToMicID_;
  // Writes a choice to the user defaults; a defaults file that cannot be written
  // costs the persistence, not the choice.
  void storeChoice(const std::string& key, const std::string& value);
  // End of device choice and failover
};

}  // namespace quarzadel
