#pragma once
// The media library's hub between capture and delivery: cameras and
// microphones (or buffers appended by hand) flow through the video and audio
// mixers of its capture units, and the results go to the registered outputs by
// track: a track's raw pictures to the outputs that selected it, the mixed
// picture and the mixed sound to those that selected 255. In offscreen mode the
// picture is composited by the Screen on the display-link clock; in passthrough
// the main camera track is forwarded as it comes. A mixer in manual mode that
// is never started is only a source handed to outputs.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Medley/Sources/Codec/DynamicRangeMode.h"
#include "Medley/Sources/Mixer/AudioCaptureUnit.h"
#include "Medley/Sources/Mixer/CaptureSessionConvertible.h"
#include "Medley/Sources/Mixer/MediaMixerOutput.h"
#include "Medley/Sources/Mixer/VideoCaptureUnit.h"
#include "Medley/Sources/Screen/DisplayLinkChoreographer.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Util/AsyncStreamedFlow.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Concurrency/Task.h"

namespace medley {

class MediaMixer final : public platform::Actor, public std::enable_shared_from_this<MediaMixer> {
 public:
  // Which capture session the mixer makes.
  enum class CaptureSessionMode {
    single,
    multi,
    // No platform capture: media come only through the append operations.
    manual,
  };
  static std::string_view rawValue(CaptureSessionMode mode);
  // None for anything but "single", "multi" and "manual".
  static std::optional<CaptureSessionMode> makeCaptureSessionMode(std::string_view rawValue);

  class Error : public std::runtime_error {
   public:
    enum class Kind { failedToAttach, deviceNotFound };
    Error(Kind kind, std::string what, std::exception_ptr underlying = nullptr)
        : std::runtime_error(std::move(what)), kind(kind), underlying(std::move(underlying)) {}
    Kind kind;
    // What made an attach fail.
    std::exception_ptr underlying;
  };

  static constexpr double kDefaultFrameRate = 30.0;

  // Makes nothing else: every component is made on first use. The screen
  // actor defaults to the shared one on the shared runtime, else to one on `runtime`.
  // Monitoring plays on `monitorOutput`, by default on the output
  // AudioOutput::makeDefault() chooses when monitoring is first turned on.
  MediaMixer(CaptureSessionMode captureSessionMode, bool multiTrackAudioMixingEnabled,
             std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared(),
             std::shared_ptr<platform::Actor> screenActor = nullptr,
             std::shared_ptr<platform::AudioOutput> monitorOutput = nullptr);
  ~MediaMixer() override;

  // Fixed at construction.
  CaptureSessionMode captureSessionMode() const { return captureSessionMode_; }
  bool isMultiTrackAudioMixingEnabled() const { return isMultiTrackAudioMixingEnabled_; }

  platform::Async<DynamicRangeMode> dynamicRangeMode();
  platform::Async<double> frameRate();
  platform::Async<bool> isRunning();
  platform::Async<std::vector<std::shared_ptr<MediaMixerOutput>>> outputs();

  // The same object is kept once; order of addition is kept.
  platform::Async<void> addOutput(std::shared_ptr<MediaMixerOutput> output);
  // Removes the same object; nothing when it is not there.
  platform::Async<void> removeOutput(std::shared_ptr<MediaMixerOutput> output);

  // Components, made on first use (any thread).
  std::shared_ptr<CaptureSessionConvertible> session();
  std::shared_ptr<VideoCaptureUnit> videoIO();
  std::shared_ptr<AudioCaptureUnit> audioIO();
  // Read and written on screenActor() only.
  std::shared_ptr<Screen> screen();
  std::shared_ptr<DisplayLinkChoreographer> displayLink();
  const std::shared_ptr<platform::Actor>& screenActor() const { return screenActor_; }

  VideoMixerSettings videoMixerSettings() { return videoIO()->videoMixerSettings(); }
  AudioMixerSettings audioMixerSettings() { return audioIO()->settings(); }
  std::map<uint8_t, platform::FormatDescriptionRef> videoInputFormats() { return videoIO()->inputFormats(); }
  std::map<uint8_t, platform::AudioFormat> audioInputFormats() { return audioIO()->inputFormats(); }
  platform::Async<bool> isTorchEnabled();
  platform::Async<VideoOrientation> videoOrientation();
  platform::Async<bool> isMonitoringEnabled();
  std::string sessionPreset() { return session()->sessionPreset(); }
  bool isCapturing() { return session()->isCapturing(); }
  platform::AsyncStream<bool> isInturreped() { return session()->isInturreped(); }

  // From any thread. Appends and captured media go through the capture units'
  // queues, in order, so they never race on one mixer. Buffers without a
  // format, or neither audio nor video, are dropped.
  void append(const platform::SampleBufferRef& sampleBuffer, uint8_t track = 0);
  void append(const platform::PCMBufferRef& buffer, const platform::AudioTime& when, uint8_t track = 0);

  // A new mode takes effect at once while running, else at the next start.
  platform::Async<void> setVideoMixerSettings(VideoMixerSettings settings);

  // Starting a running mixer or stopping a stopped one does nothing. Stop
  // returns once every task the mixer started has ended. Starts and stops take
  // effect one after the other in the order they reach the mixer, each
  // returning once it took effect: a start that arrives while a stop is under
  // way runs once that stop has ended, so the mixer ends running.
  platform::Async<void> startRunning();
  platform::Async<void> stopRunning();
  platform::Async<void> startCaptureSession();
  platform::Async<void> stopCaptureSession();
  // Tasks the mixer started that have not ended.
  platform::Async<size_t> liveTaskCount();

  // Capture control. A camera or microphone replaces the track's; none detaches
  // it. In manual mode nothing is attached and the call succeeds. Throws
  // Error(failedToAttach) carrying what the capture unit threw.
  using VideoConfiguration = VideoCaptureUnit::Configuration;
  using AudioConfiguration = AudioCaptureUnit::Configuration;
  platform::Async<void> attachVideo(std::shared_ptr<platform::VideoCaptureDevice> device, uint8_t track = 0,
                                    VideoConfiguration configuration = nullptr,
                                    std::shared_ptr<VideoDeviceControls> controls = nullptr);
  platform::Async<void> attachAudio(std::shared_ptr<platform::AudioCapture> capture, std::string deviceID,
                                    uint8_t track = 0, AudioConfiguration configuration = nullptr);
  // Error(deviceNotFound) for a track without a device; the closure's error propagates.
  platform::Async<void> configureVideoDevice(uint8_t track, VideoConfiguration configuration);
  platform::Async<void> configureAudioDevice(uint8_t track, AudioConfiguration configuration);
  // Offscreen: the render pace only. Passthrough: the first camera's rate too;
  // when the camera refuses, throws and keeps the old rate. A rate below 1 or
  // not finite throws std::invalid_argument and changes nothing.
  platform::Async<void> setFrameRate(double frameRate);
  platform::Async<void> setDynamicRangeMode(DynamicRangeMode mode);
  platform::Async<void> setTorchEnabled(bool enabled);
  // The torch, when on, is applied again whether or not the orientation changed.
  platform::Async<void> setVideoOrientation(VideoOrientation orientation);
  platform::Async<void> setSessionPreset(std::string preset);
  platform::Async<void> setMonitoringEnabled(bool enabled);
  platform::Async<void> setAudioMixerSettings(AudioMixerSettings settings);
  platform::Async<void> configuration(std::function<void(CaptureSessionConvertible&)> body);
  // Recovery: restarts the session's devices after an unknown error unless in the background.
  platform::Async<void> sessionRuntimeErrorOccured(CaptureRuntimeError error);
  // The devices' failures as the mixer hears them, for the caller to tell the
  // user. Each read makes a new sequence; the one read before ends.
  platform::Async<platform::AsyncStream<CaptureRuntimeError>> deviceFailures();

 private:
  const CaptureSessionMode captureSessionMode_;
  const bool isMultiTrackAudioMixingEnabled_;
  DynamicRangeMode dynamicRangeMode_ = DynamicRangeMode::sdr;
  double frameRate_ = kDefaultFrameRate;
  bool isRunning_ = false;
  // Stops under way. isRunning_ stays true until a stop ends, but a mode
  // change meanwhile must start no render loop: the stop would either wait for
  // it forever or leave it ticking once stopped.
  int stopsInProgress_ = 0;
  // The last start or stop taken; the next one waits for it to end.
  platform::TaskHandle<void> runChange_;
  // What an output lost while its hand-offs failed, said in the log a few
  // lines at a time rather than one line per buffer.
  struct HandOffLog;
  struct Registered {
    std::shared_ptr<MediaMixerOutput> output;
    std::shared_ptr<HandOffLog> log;
  };
  // An output that keeps failing is told again at most this often.
  static constexpr platform::Nanos kHandOffReportInterval = platform::seconds(5);
  std::vector<Registered> outputs_;
  std::vector<platform::TaskHandle<void>> subscriptions_;
  bool isInBackground_ = false;
  AsyncStreamedFlow<CaptureRuntimeError> deviceFailures_;

  void applyVideoMixerMode(VideoMixerSettings::Mode mode);
  platform::Async<void> changeRunning(bool running);
  platform::Async<void> startSteps();
  platform::Async<void> stopSteps();
  void track(platform::TaskHandle<void> task);
  platform::Async<void> forwardVideo(platform::SampleBufferRef buffer, uint8_t track);
  platform::Async<void> forwardAudio(AudioCaptureUnit::Output output);
  static std::vector<std::shared_ptr<VideoScreenObject>> videoTrackObjects(const ScreenObjectContainer& container);

  const std::shared_ptr<platform::Runtime> runtime_;
  const std::shared_ptr<platform::Actor> screenActor_;
  std::shared_ptr<platform::AudioOutput> monitorOutput_;
  // Guards the components made on first use.
  std::mutex componentsMutex_;
  std::shared_ptr<CaptureSessionConvertible> session_;
  std::shared_ptr<VideoCaptureUnit> videoIO_;
  std::shared_ptr<AudioCaptureUnit> audioIO_;
  std::shared_ptr<Screen> screen_;
  std::shared_ptr<DisplayLinkChoreographer> displayLink_;
  // Every task the mixer started, so that stop can wait for them to end.
  std::vector<platform::TaskHandle<void>> tasks_;
};

void to_json(nlohmann::json& json, MediaMixer::CaptureSessionMode mode);
// Throws nlohmann::json::exception for anything but the three raw values.
void from_json(const nlohmann::json& json, MediaMixer::CaptureSessionMode& mode);

}  // namespace medley
