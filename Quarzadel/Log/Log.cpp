#include "Quarzadel/Log/Log.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "Logwell/LWLogItem.h"
#include "Platform/Time/HostClock.h"
#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Log/MaskedStreamKey.h"
#include "Quarzadel/Log/SessionLog.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionURL.h"

namespace quarzadel {

LogError::LogError(const std::exception_ptr& error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    text_ = e.what();
  } catch (...) {
    text_ = "unknown error";
  }
}

namespace logtext {

int64_t whole(double value) {
  if (!std::isfinite(value)) return 0;
  double cut = std::trunc(value);
  if (cut >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (cut <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(cut);
}

int64_t milliseconds(double seconds) { return whole(seconds * 1000); }

std::string fixed(double value, int decimals) {
  char buf[512];
  auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (result.ec != std::errc()) return std::to_string(value);
  return std::string(buf, result.ptr);
}

std::string shortest(double value) { return logwell::describeFloating(value); }

std::string prefix(std::string_view text, size_t count) {
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    bool continuation = (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    if (!continuation) {
      if (characters == count) return std::string(text.substr(0, i));
      ++characters;
    }
  }
  return std::string(text);
}

}  // namespace logtext

namespace {
double hostSecondsNow() { return platform::HostClock::shared()->nowSeconds(); }
std::string str(int64_t v) { return std::to_string(v); }
std::string size(const StreamConfig& config) { return str(config.width()) + "x" + str(config.height()); }
}  // namespace

const platform::SystemLogger& Log::logger() {
  static const platform::SystemLogger instance(std::string(kAppIdentifierPrefix) + ".mac", "app");
  return instance;
}

void Log::write(std::string_view file, std::string_view message, platform::LogType type, std::string_view level) {
  const auto& system = logger();
  if (system.isEnabled(type)) system.log(type, message);
  SessionLog::shared()->log(level, message, file);
}

void Log::info(const std::string& message, std::string_view file) {
  write(file, message, platform::LogType::info, "INFO");
}
void Log::warning(const std::string& message, std::string_view file) {
  write(file, message, platform::LogType::error, "WARN");
}
void Log::error(const std::string& message, std::string_view file) {
  write(file, message, platform::LogType::error, "ERROR");
}

// ---- Information: application shell

void Log::appLaunched(std::string_view file) {
  info("Quarzadel for Mac " + appVersion() + " (" + appBuild() + ") launched on " + systemDescription() +
           "; web app " + baseURL(),
       file);
}

void Log::appLinkOpensStudio(std::string_view streamKey, std::string_view file) {
  info("App link: Studio for " + std::string(streamKey), file);
}

void Log::installingWaitingUpdate(std::string_view file) { info("Stream ended: installing the waiting update", file); }

void Log::updateWaitsForStreamEnd(std::string_view version, std::string_view file) {
  info("Update " + std::string(version) + " waits until the stream ends", file);
}

void Log::updateCheckFinished(const std::vector<std::string>& itemVersions, std::string_view file) {
  info("Update check: " + (itemVersions.empty() ? std::string("no items") : itemVersions.front()) + " available",
       file);
}

void Log::scenarioLoaded(size_t stepCount, std::string_view file) {
  info("Scenario: " + std::to_string(stepCount) + " steps, t0 host=" + logtext::fixed(hostSecondsNow(), 3), file);
}

void Log::scenarioStep(double time, std::string_view action, std::optional<std::string_view> argument,
                       std::string_view file) {
  std::string message = "Scenario step @" + logtext::shortest(time) + "s host=" +
                        logtext::fixed(hostSecondsNow(), 3) + ": " + std::string(action);
  if (argument) message += ":" + std::string(*argument);
  info(message, file);
}

void Log::appScenarioStep(double time, std::string_view action, std::string_view argument, std::string_view file) {
  info("App scenario @" + logtext::shortest(time) + "s: " + std::string(action) + " " +
           logtext::prefix(argument, 80),
       file);
}

void Log::snapshotsWritten(std::string_view label, std::string_view file) {
  info("Snapshots written: " + std::string(label) + " → " + snapshotFolderURL().string(), file);
}

// ---- Information: Studio engine

void Log::studioOpened(std::string_view title, bool isTest, std::string_view file) {
  info("Studio opened for \"" + std::string(title) + "\" (" + (isTest ? "test" : "event") + ")", file);
}

void Log::permissions(std::string_view camera, std::string_view microphone, std::string_view file) {
  info("Permissions: camera " + std::string(camera) + ", microphone " + std::string(microphone), file);
}

void Log::permissionsChanged(std::string_view camera, std::string_view microphone, std::string_view file) {
  info("Permissions changed: camera " + std::string(camera) + ", microphone " + std::string(microphone), file);
}

void Log::muteChanged(bool isMuted, std::string_view file) { info(isMuted ? "Muted" : "Unmuted", file); }

void Log::notice(std::string_view logText, std::string_view file) { info(std::string(logText), file); }

void Log::sourceSuspendedWaiting(std::string_view name, std::string_view file) {
  info(std::string(name) + " is suspended: waiting for it", file);
}

void Log::reopening(std::string_view name, std::string_view file) { info("Reopening " + std::string(name), file); }

void Log::studioClosed(std::string_view file) { info("Studio closed", file); }

// ---- Information: publisher and local recorder

void Log::publishRequested(std::string_view serverURL, std::string_view streamKey, const StreamConfig& config,
                           std::string_view file) {
  // The log is uploaded: a login in the URL (user, password, query values) stays out of it.
  info("Publish requested: " + maskedStreamKey(rtmpmedley::redactURLText(serverURL)) + "/" +
           maskedStreamKey(streamKey) + " " + size(config) + "@" + str(logtext::whole(config.frameRate)),
       file);
}

void Log::encoderConfigured(StreamConfig::VideoCodec codec, const StreamConfig& config, int64_t currentVideoBitrate,
                            bool constantBitRate, std::string_view file) {
  info(std::string("Encoder: ") + (codec == StreamConfig::VideoCodec::hevc ? "HEVC" : "H.264") + " " + size(config) +
           "@" + str(logtext::whole(config.frameRate)) + " " + (constantBitRate ? "CBR" : "ABR") + " " +
           str(currentVideoBitrate / 1000) + " kbps, audio " + str(config.audioBitrate / 1000) + " kbps",
       file);
}

void Log::publishing(int64_t attempt, double seconds, std::string_view file) {
  info("Publishing (attempt " + str(attempt) + ", " + logtext::fixed(seconds, 2) + " s)", file);
}

void Log::livePeriodPictures(int64_t made, int64_t sent, int64_t dropped, std::string_view file) {
  info("Live period's pictures: " + str(made) + " made, " + str(sent) + " sent, " + str(dropped) + " dropped", file);
}

void Log::uploadStatsLine(int64_t uploadKbps, const std::string& codec, int64_t targetKbps, int64_t fps,
                          int64_t queuedKB, double queueDelay, std::string_view file) {
  info("Upload " + str(uploadKbps) + " kbps · " + codec + " " + str(targetKbps) + " kbps · " + str(fps) + " fps · " +
           str(queuedKB) + " KB queued (" + logtext::fixed(queueDelay, 1) + " s)",
       file);
}

void Log::debugVideoBitrate(int64_t bitsPerSecond, std::string_view file) {
  info("Debug: video bitrate → " + str(bitsPerSecond / 1000) + " kbps", file);
}

void Log::uplinkRecovered(std::string_view step, std::string_view file) {
  info("Uplink recovered: " + std::string(step), file);
}

void Log::networkChanged(bool available, std::string_view file) {
  info(available ? "Network available" : "Network unavailable", file);
}

void Log::publishStoppedByUser(std::string_view file) { info("Publish stopped by user", file); }

void Log::recordingCopy(const std::filesystem::path& recording, bool hevc, int64_t videoBitrate,
                        std::string_view file) {
  info("Recording a copy to " + recording.filename().string() + " (" + (hevc ? "HEVC" : "H.264") + " " +
           str(videoBitrate / 1000000) + " Mbps)",
       file);
}

void Log::recordingFinished(bool saved, const std::filesystem::path& recording,
                            const std::optional<LogError>& writerError, int64_t droppedVideoFrames,
                            std::string_view file) {
  info(std::string("Recording ") + (saved ? "saved" : "failed") + ": " + recording.filename().string() + " " +
           (writerError ? writerError->description() : std::string()) + " dropped=" + str(droppedVideoFrames),
       file);
}

// ---- Information: capture sources and program pipelines

void Log::cameraStarted(std::string_view displayName, std::string_view formatSummary, std::string_view file) {
  info("Camera started: " + std::string(displayName) + " [" + std::string(formatSummary) + "]", file);
}

void Log::cameraReconfigured(std::string_view displayName, std::string_view formatSummary, std::string_view file) {
  info("Camera " + std::string(displayName) + " reconfigured: " + std::string(formatSummary), file);
}

void Log::cameraSuspensionChanged(std::string_view localizedName, bool isSuspended, std::string_view file) {
  info("Camera " + std::string(localizedName) + (isSuspended ? " suspended (lid closed or cover shut)" : " resumed"),
       file);
}

void Log::microphoneStarted(std::string_view displayName, int64_t channels, std::string_view file) {
  info("Microphone started: " + std::string(displayName) + " (" + str(channels) + " ch)", file);
}

void Log::videoPipelineWarmedUp(double startHostSeconds, std::string_view file) {
  info("Video pipeline warmed up in " + str(logtext::milliseconds(hostSecondsNow() - startHostSeconds)) + " ms", file);
}

void Log::slowProgramRender(double renderSeconds, const std::optional<std::string>& activeSource, bool dissolving,
                            std::string_view file) {
  info("Slow program render: " + str(logtext::milliseconds(renderSeconds)) + " ms (" +
           (activeSource ? *activeSource : std::string("slate")) + (dissolving ? ", dissolving" : "") + ")",
       file);
}

void Log::programBackOnLiveFrames(double nowHostSeconds, double lastRealFrameHost, std::string_view source,
                                  std::string_view file) {
  info("Program back on live frames after " + str(logtext::milliseconds(nowHostSeconds - lastRealFrameHost)) +
           " ms (" + std::string(source) + ")",
       file);
}

void Log::screenShareStartedSynthetic(std::string_view file) { info("Screen share started (synthetic)", file); }

void Log::screenShareEnded(std::optional<std::string_view> reason, std::string_view file) {
  info(reason ? "Screen share ended: " + std::string(*reason) : std::string("Screen share ended"), file);
}

// ---- Warnings

void Log::couldNotWatchSystemInput(int32_t status, std::string_view file) {
  warning("Could not watch the system input device (" + std::to_string(status) + ")", file);
}

void Log::cameraFailure(std::string_view reason, std::string_view file) {
  warning("Camera failure: " + std::string(reason), file);
}

void Log::cameraSessionInterrupted(const std::optional<std::string>& displayName, std::string_view file) {
  warning("Camera session interrupted: " + displayName.value_or("?"), file);
}

void Log::scenarioNoCameraMatches(std::optional<std::string_view> query, std::string_view file) {
  warning("Scenario: no camera matches " + std::string(query.value_or("")), file);
}

void Log::scenarioNothingToShareMatches(std::string_view query, std::string_view file) {
  warning("Scenario: nothing to share matches " + std::string(query), file);
}

void Log::scenarioNoMicrophoneMatches(std::string_view query, std::string_view file) {
  warning("Scenario: no microphone matches " + std::string(query), file);
}

void Log::scenarioNoSyntheticCameraMatches(std::optional<std::string_view> query, std::string_view file) {
  warning("Scenario: no synthetic camera matches " + std::string(query.value_or("")), file);
}

void Log::scenarioUnknownAction(std::string_view action, std::string_view file) {
  warning("Scenario: unknown action " + std::string(action), file);
}

void Log::appScenarioUnknownAction(std::string_view action, std::string_view file) {
  warning("App scenario: unknown action " + std::string(action), file);
}

void Log::snapshotFailed(const std::optional<LogError>& error, std::string_view file) {
  warning("Snapshot failed: " + (error ? error->description() : std::string("?")), file);
}

void Log::microphoneFailure(std::string_view reason, std::string_view file) {
  warning("Microphone failure: " + std::string(reason), file);
}

void Log::bridgeCallFromUnexpectedOrigin(std::string_view host, std::string_view file) {
  warning("Bridge call from unexpected origin " + std::string(host), file);
}

void Log::hevcStalledSwitchingToH264(std::string_view file) {
  warning("HEVC output stalled; switching to H.264", file);
}

void Log::uplinkCongested(std::string_view detail, std::string_view file) {
  warning("Uplink congested: " + std::string(detail), file);
}

void Log::uploadFallingBehind(std::string_view detail, std::string_view file) {
  warning("Upload falling behind: " + std::string(detail), file);
}

void Log::screenShareFailed(const LogError& error, std::string_view file) {
  warning("Screen share failed: " + error.description(), file);
}

void Log::changingSharedContentFailed(const LogError& error, std::string_view file) {
  warning("Changing the shared content failed: " + error.description(), file);
}

void Log::screenPickerFailed(const LogError& error, std::string_view file) {
  warning("Screen picker failed: " + error.description(), file);
}

void Log::noCameraAvailable(std::string_view file) { warning("No camera available", file); }

void Log::onAirCameraStalled(std::string_view name, std::string_view file) {
  warning("On-air camera stalled: " + std::string(name), file);
}

void Log::onAirCameraFailed(std::string_view name, std::string_view reason, std::string_view file) {
  warning("On-air camera failed: " + std::string(name) + ": " + std::string(reason), file);
}

void Log::onAirMicrophoneStalled(std::string_view name, std::string_view file) {
  warning("On-air microphone stalled: " + std::string(name), file);
}

void Log::soundBufferAheadOfHostClock(double secondsAhead, std::string_view file) {
  warning("Sound buffer stamped " + logtext::fixed(secondsAhead, 3) +
              " s ahead of the host clock; placing it at its arrival",
          file);
}

void Log::pageFailedToLoad(std::string_view domain, int64_t code, std::string_view description,
                           std::string_view file) {
  warning("Page failed to load: " + std::string(domain) + " " + str(code) + " " + std::string(description), file);
}

void Log::webContentProcessTerminated(std::string_view file) {
  warning("Web content process terminated; reloading", file);
}

// ---- Errors

void Log::couldNotStartLocalRecording(const LogError& error, std::string_view file) {
  Log::error("Couldn't start the local recording: " + error.description(), file);
}

void Log::recordingDroppingSound(const std::filesystem::path& recording, std::string_view file) {
  warning("Recording behind, dropping sound: " + recording.filename().string(), file);
}

void Log::recordingDroppedSound(const std::filesystem::path& recording, int64_t milliseconds, std::string_view file) {
  warning("Recording dropped sound: " + recording.filename().string() + " " + str(milliseconds) + " ms", file);
}

void Log::recordingFailedToStart(const std::optional<LogError>& writerError, std::string_view file) {
  Log::error("Recording failed to start: " + (writerError ? writerError->description() : std::string("?")), file);
}

}  // namespace quarzadel
