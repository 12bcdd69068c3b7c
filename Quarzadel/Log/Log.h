#pragma once
// The catalogue of the application's log messages. Each entry builds its one
// fixed sentence from its values and writes it to the system log (subsystem
// "<prefix>.mac", category "app": info at the info type, warnings and errors at
// the error type) and to the session log with "INFO", "WARN" or "ERROR", under
// the category of the caller's source file. Callers pass their own __FILE__.
//
// Entries that name a source, camera, statistics record or screen-share kind take
// any type that has the member the sentence needs (displayName(), name, the stats
// fields, the enumerators display/window/application), or the text itself.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Program/StreamConfig.h"

namespace quarzadel {

// An error as the logs write it: its description.
class LogError {
 public:
  LogError(std::string_view description) : text_(description) {}
  LogError(const char* description) : text_(description ? description : "") {}
  LogError(const std::string& description) : text_(description) {}
  LogError(const std::exception& error) : text_(error.what()) {}
  LogError(const std::error_code& error) : text_(error.message()) {}
  LogError(const std::exception_ptr& error);
  const std::string& description() const { return text_; }

 private:
  std::string text_;
};

namespace logtext {
template <typename T>
concept Text = std::is_convertible_v<const T&, std::string_view>;
template <typename T>
concept PointerLike = requires(const T& p) {
  *p;
  static_cast<bool>(p);
};

// A picture or sound source: its displayName().
template <typename T>
std::string displayName(const T& source) {
  if constexpr (Text<T>) return std::string(std::string_view(source));
  else if constexpr (PointerLike<T>) return source ? displayName(*source) : std::string("?");
  else return std::string(source.displayName());
}

// A camera of the device catalogue: its name.
template <typename T>
std::string cameraName(const T& camera) {
  if constexpr (Text<T>) return std::string(std::string_view(camera));
  else if constexpr (PointerLike<T>) return camera ? cameraName(*camera) : std::string("?");
  else if constexpr (requires { camera.name(); }) return std::string(camera.name());
  else return std::string(camera.name);
}

// "Shared Screen", "Shared Window" or "Shared App".
template <typename Content>
std::string_view screenShareKind(Content kind) {
  if constexpr (Text<Content>) {
    return kind;
  } else {
    if (kind == Content::display) return "Shared Screen";
    if (kind == Content::window) return "Shared Window";
    return "Shared App";
  }
}

// Seconds as whole milliseconds, cut toward zero.
int64_t milliseconds(double seconds);
// A floating-point value cut toward zero (non-finite values give 0).
int64_t whole(double value);
// Fixed decimals with "." whatever the locale.
std::string fixed(double value, int decimals);
// The shortest text that reads back to the value, always with a fraction: 2.0, 0.25.
std::string shortest(double value);
// The first `count` characters (code points) of UTF-8 text.
std::string prefix(std::string_view text, size_t count);
}  // namespace logtext

class Log {
 public:
  // The application's system-log logger.
  static const platform::SystemLogger& logger();

  // The generic entry: the message unchanged, at the given type and level text.
  static void write(std::string_view file, std::string_view message, platform::LogType type, std::string_view level);

  // ---- Information: application shell
  static void appLaunched(std::string_view file);
  static void appLinkOpensStudio(std::string_view streamKey, std::string_view file);
  static void installingWaitingUpdate(std::string_view file);
  static void updateWaitsForStreamEnd(std::string_view version, std::string_view file);
  // The versions of the feed's items, in feed order.
  static void updateCheckFinished(const std::vector<std::string>& itemVersions, std::string_view file);
  static void scenarioLoaded(size_t stepCount, std::string_view file);
  static void scenarioStep(double time, std::string_view action, std::optional<std::string_view> argument,
                           std::string_view file);
  static void appScenarioStep(double time, std::string_view action, std::string_view argument, std::string_view file);
  static void snapshotsWritten(std::string_view label, std::string_view file);

  // ---- Information: Studio engine
  static void studioOpened(std::string_view title, bool isTest, std::string_view file);
  // Permissions by their case names: "unknown", "granted" or "denied".
  static void permissions(std::string_view camera, std::string_view microphone, std::string_view file);
  static void permissionsChanged(std::string_view camera, std::string_view microphone, std::string_view file);
  template <typename Source>
  static void switchingCamera(const Source& source, std::string_view file) {
    info("Switching camera to " + logtext::displayName(source), file);
  }
  template <typename Source>
  static void switchingMicrophone(const Source& source, std::string_view file) {
    info("Switching microphone to " + logtext::displayName(source), file);
  }
  static void muteChanged(bool isMuted, std::string_view file);
  // A notice the Studio shows, as StudioNotice::logText() gives it ("Notice: ...").
  static void notice(std::string_view logText, std::string_view file);
  template <typename Camera>
  static void cameraAvailableAgain(const Camera& camera, std::string_view file) {
    info("Camera available again: " + logtext::cameraName(camera), file);
  }
  template <typename Camera>
  static void sourceBack(const Camera& camera, std::string_view file) {
    info(logtext::cameraName(camera) + " is back: putting it on air again", file);
  }
  static void sourceSuspendedWaiting(std::string_view name, std::string_view file);
  static void reopening(std::string_view name, std::string_view file);
  static void studioClosed(std::string_view file);

  // ---- Information: publisher and local recorder
  static void publishRequested(std::string_view serverURL, std::string_view streamKey, const StreamConfig& config,
                               std::string_view file);
  static void encoderConfigured(StreamConfig::VideoCodec codec, const StreamConfig& config,
                                int64_t currentVideoBitrate, bool constantBitRate, std::string_view file);
  static void publishing(int64_t attempt, double seconds, std::string_view file);
  // `stats` has the fields uploadKbps, codec, targetKbps, fps and queuedKB.
  template <typename Stats>
  static void uploadStats(const Stats& stats, double queueDelay, std::string_view file) {
    uploadStatsLine(static_cast<int64_t>(stats.uploadKbps), std::string(stats.codec),
                    static_cast<int64_t>(stats.targetKbps), static_cast<int64_t>(stats.fps),
                    static_cast<int64_t>(stats.queuedKB), queueDelay, file);
  }
  static void uploadStatsLine(int64_t uploadKbps, const std::string& codec, int64_t targetKbps, int64_t fps,
                              int64_t queuedKB, double queueDelay, std::string_view file);
  static void debugVideoBitrate(int64_t bitsPerSecond, std::string_view file);
  static void livePeriodPictures(int64_t made, int64_t sent, int64_t dropped, std::string_view file);
  static void uplinkRecovered(std::string_view step, std::string_view file);
  static void networkChanged(bool available, std::string_view file);
  static void publishStoppedByUser(std::string_view file);
  static void recordingCopy(const std::filesystem::path& recording, bool hevc, int64_t videoBitrate,
                            std::string_view file);
  // `writerError` is the writer's error, none when it has none.
  static void recordingFinished(bool saved, const std::filesystem::path& recording,
                                const std::optional<LogError>& writerError, int64_t droppedVideoFrames,
                                std::string_view file);

  // ---- Information: capture sources and program pipelines
  static void cameraStarted(std::string_view displayName, std::string_view formatSummary, std::string_view file);
  static void cameraReconfigured(std::string_view displayName, std::string_view formatSummary, std::string_view file);
  // The sentence follows `isSuspended` as read by the caller at the time of the call.
  static void cameraSuspensionChanged(std::string_view localizedName, bool isSuspended, std::string_view file);
  static void microphoneStarted(std::string_view displayName, int64_t channels, std::string_view file);
  template <typename Source>
  static void microphoneOnAir(const Source& source, std::string_view file) {
    info("Microphone on air: " + logtext::displayName(source), file);
  }
  // Milliseconds from the start to the host clock's now.
  static void videoPipelineWarmedUp(double startHostSeconds, std::string_view file);
  // `activeSource` none writes "slate".
  static void slowProgramRender(double renderSeconds, const std::optional<std::string>& activeSource,
                                bool dissolving, std::string_view file);
  template <typename Source>
  static void onAir(const Source& source, std::string_view file) {
    info("On air: " + logtext::displayName(source), file);
  }
  static void programBackOnLiveFrames(double nowHostSeconds, double lastRealFrameHost, std::string_view source,
                                      std::string_view file);
  template <typename Source>
  static void sourceReopening(const Source& source, std::string_view file) {
    info(logtext::displayName(source) + " didn't resume by itself: reopening it", file);
  }
  template <typename Content>
  static void screenShareStarted(Content kind, double widthPoints, double heightPoints, std::string_view file) {
    info("Screen share started: " + std::string(logtext::screenShareKind(kind)) + " " +
             std::to_string(logtext::whole(widthPoints)) + "x" + std::to_string(logtext::whole(heightPoints)) + " pt",
         file);
  }
  template <typename Content>
  static void screenShareChanged(Content kind, std::string_view file) {
    info("Screen share changed: " + std::string(logtext::screenShareKind(kind)), file);
  }
  static void screenShareStartedSynthetic(std::string_view file);
  static void screenShareEnded(std::optional<std::string_view> reason, std::string_view file);

  // ---- Warnings
  static void couldNotWatchSystemInput(int32_t status, std::string_view file);
  static void cameraFailure(std::string_view reason, std::string_view file);
  // The capture's display name, none when the capture no longer exists ("?").
  static void cameraSessionInterrupted(const std::optional<std::string>& displayName, std::string_view file);
  template <typename Camera>
  static void cameraSuspended(const Camera& camera, std::string_view file) {
    warning("Camera suspended: " + logtext::cameraName(camera), file);
  }
  static void scenarioNoCameraMatches(std::optional<std::string_view> query, std::string_view file);
  static void scenarioNoMicrophoneMatches(std::string_view query, std::string_view file);
  static void scenarioNoSyntheticCameraMatches(std::optional<std::string_view> query, std::string_view file);
  static void scenarioUnknownAction(std::string_view action, std::string_view file);
  static void scenarioNothingToShareMatches(std::string_view query, std::string_view file);
  static void appScenarioUnknownAction(std::string_view action, std::string_view file);
  static void snapshotFailed(const std::optional<LogError>& error, std::string_view file);
  static void microphoneFailure(std::string_view reason, std::string_view file);
  static void bridgeCallFromUnexpectedOrigin(std::string_view host, std::string_view file);
  static void hevcStalledSwitchingToH264(std::string_view file);
  static void uplinkCongested(std::string_view detail, std::string_view file);
  static void uploadFallingBehind(std::string_view detail, std::string_view file);
  static void screenShareFailed(const LogError& error, std::string_view file);
  static void changingSharedContentFailed(const LogError& error, std::string_view file);
  static void screenPickerFailed(const LogError& error, std::string_view file);
  template <typename Camera>
  static void noCameraAvailableSuspended(const Camera& camera, std::string_view file) {
    warning("No camera available: " + logtext::cameraName(camera) + " is suspended (lid closed?)", file);
  }
  static void noCameraAvailable(std::string_view file);
  static void onAirCameraStalled(std::string_view name, std::string_view file);
  static void onAirCameraFailed(std::string_view name, std::string_view reason, std::string_view file);
  static void onAirMicrophoneStalled(std::string_view name, std::string_view file);
  // A sound buffer whose host-clock stamp lies `secondsAhead` in the future ("%.3f").
  static void soundBufferAheadOfHostClock(double secondsAhead, std::string_view file);
  // A page-load error: its domain, code and description.
  static void pageFailedToLoad(std::string_view domain, int64_t code, std::string_view description,
                               std::string_view file);
  static void webContentProcessTerminated(std::string_view file);
  // The local copy fell behind and drops the oldest sound waiting for it (said once per copy).
  static void recordingDroppingSound(const std::filesystem::path& recording, std::string_view file);
  // At the copy's finish, when it dropped sound: how much, in milliseconds.
  static void recordingDroppedSound(const std::filesystem::path& recording, int64_t milliseconds,
                                    std::string_view file);

  // ---- Errors
  static void couldNotStartLocalRecording(const LogError& error, std::string_view file);
  // The writer's error, none when it reports none ("?").
  static void recordingFailedToStart(const std::optional<LogError>& writerError, std::string_view file);

 private:
  static void info(const std::string& message, std::string_view file);
  static void warning(const std::string& message, std::string_view file);
  static void error(const std::string& message, std::string_view file);
};

}  // namespace quarzadel
