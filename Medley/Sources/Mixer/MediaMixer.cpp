#include "Medley/Sources/Mixer/MediaMixer.h"

#include <cxxabi.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>

#include "Medley/Sources/Extension/CaptureDeviceExtensions.h"
#include "Medley/Sources/Mixer/CaptureSession.h"
#include "Medley/Sources/Mixer/NullCaptureSession.h"
#include "Medley/Sources/Screen/ScreenActor.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

using platform::Async;
using platform::SampleBufferRef;

std::string_view MediaMixer::rawValue(CaptureSessionMode mode) {
  switch (mode) {
    case CaptureSessionMode::single:
      return "single";
    case CaptureSessionMode::multi:
      return "multi";
    case CaptureSessionMode::manual:
      return "manual";
  }
  return "";
}

std::optional<MediaMixer::CaptureSessionMode> MediaMixer::makeCaptureSessionMode(std::string_view rawValue) {
  for (auto mode : {CaptureSessionMode::single, CaptureSessionMode::multi, CaptureSessionMode::manual}) {
    if (MediaMixer::rawValue(mode) == rawValue) return mode;
  }
  return std::nullopt;
}

namespace {

std::shared_ptr<platform::Actor> defaultScreenActor(const std::shared_ptr<platform::Runtime>& runtime) {
  if (runtime == platform::Runtime::shared()) return ScreenActor::shared();
  return std::make_shared<platform::Actor>(platform::SerialQueue::make(medleyIdentifier() + ".ScreenActor", runtime));
}

}  // namespace

MediaMixer::MediaMixer(CaptureSessionMode captureSessionMode, bool multiTrackAudioMixingEnabled,
                       std::shared_ptr<platform::Runtime> runtime, std::shared_ptr<platform::Actor> screenActor,
                       std::shared_ptr<platform::AudioOutput> monitorOutput)
    : Actor(std::string(kLibraryIdentifierPrefix) + ".Medley.MediaMixer", runtime),
      captureSessionMode_(captureSessionMode),
      isMultiTrackAudioMixingEnabled_(multiTrackAudioMixingEnabled),
      runtime_(runtime),
      screenActor_(screenActor ? std::move(screenActor) : defaultScreenActor(runtime)),
      monitorOutput_(std::move(monitorOutput)) {}

MediaMixer::~MediaMixer() {
  // Sequences end so that no task waits on them forever; the tasks hold the mixer only weakly.
  if (videoIO_) videoIO_->finish();
  if (audioIO_) audioIO_->setContinuation(std::nullopt);
  for (const auto& task : tasks_) task.cancel();
  if (displayLink_) displayLink_->stopRunning();
  if (session_) session_->stopRunning();
}

Async<DynamicRangeMode> MediaMixer::dynamicRangeMode() {
  co_await hop();
  co_return dynamicRangeMode_;
}

Async<double> MediaMixer::frameRate() {
  co_await hop();
  co_return frameRate_;
}

Async<bool> MediaMixer::isRunning() {
  co_await hop();
  co_return isRunning_;
}

namespace {

// The output's class without its namespaces, to tell outputs apart in the log.
std::string nameOf(const MediaMixerOutput& output) {
  const char* mangled = typeid(output).name();
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                        &std::free);
  std::string name = status == 0 && demangled ? demangled.get() : mangled;
  const auto cut = name.rfind("::", name.find('<'));
  return cut == std::string::npos ? name : name.substr(cut + 2);
}

// The failures of one output's hand-offs of one kind. A failure is told at
// once when the output's last line is older than the interval, else counted for
// the next line: an output that fails for good writes a line every interval
// with what it lost meanwhile, not one per buffer. Its recovery is told at once
// after a told failure, else with the next line due.
class HandOffFailures {
 public:
  // Names the buffers: "picture", "pictures", "of track 0".
  HandOffFailures(std::string noun, std::string nouns, std::string of, platform::Nanos interval)
      : noun_(std::move(noun)), nouns_(std::move(nouns)), of_(std::move(of)), interval_(interval) {}

  // One hand-off's outcome: `failure` empty when the output took the buffer.
  void took(const std::string& output, platform::Nanos now, const std::string& failure) {
    if (failure.empty())
      succeeded(output, now);
    else
      failed(output, now, failure);
  }

  // What was lost and not followed by a recovery, for an output that goes.
  void removed(const std::string& output) const {
    if (lost_ > 0) MEDLEY_LOG_WARN(output, "was removed after losing", count(lost_));
  }

  // The buffers' names follow the output's track.
  void setOf(std::string of) { of_ = std::move(of); }

 private:
  void failed(const std::string& output, platform::Nanos now, const std::string& failure) {
    ++unreported_;
    ++lost_;
    if (lineAt_ && now - *lineAt_ < interval_) return;
    if (lost_ == 1) {
      MEDLEY_LOG_ERROR(output, "failed to take a", noun_, of_ + ":", failure);
    } else if (lost_ == unreported_) {
      MEDLEY_LOG_ERROR(output, "failed to take", count(lost_) + ":", failure);
    } else {
      MEDLEY_LOG_ERROR(output, "failed to take", unreported_, "more", count(unreported_, false) + ",", lost_,
                       "since it began to fail:", failure);
    }
    told_ = true;
    said(now);
  }

  void succeeded(const std::string& output, platform::Nanos now) {
    if (lost_ == 0 || (!told_ && lineAt_ && now - *lineAt_ < interval_)) return;
    MEDLEY_LOG_INFO(output, "takes", nouns_, of_, "again, after losing", lost_);
    lost_ = 0;
    told_ = false;
    said(now);
  }

  void said(platform::Nanos now) {
    unreported_ = 0;
    lineAt_ = now;
  }
  std::string count(uint64_t n, bool withNumber = true) const {
    return (withNumber ? std::to_string(n) + " " : std::string()) + (n == 1 ? noun_ : nouns_) + " " + of_;
  }

  std::string noun_, nouns_, of_;
  const platform::Nanos interval_;
  // Lost since the last line, and since the last recovery line (or the first failure).
  uint64_t unreported_ = 0;
  uint64_t lost_ = 0;
  // A line said that the output fails, and none since that it takes buffers again.
  bool told_ = false;
  std::optional<platform::Nanos> lineAt_;
};

}  // namespace

struct MediaMixer::HandOffLog {
  explicit HandOffLog(const MediaMixerOutput& output) : name(nameOf(output)) {}
  const std::string name;
  std::optional<uint8_t> pictureTrack;
  HandOffFailures pictures{"picture", "pictures", "of track 255", kHandOffReportInterval};
  HandOffFailures sounds{"buffer", "buffers", "of mixed sound", kHandOffReportInterval};
};

Async<std::vector<std::shared_ptr<MediaMixerOutput>>> MediaMixer::outputs() {
  co_await hop();
  std::vector<std::shared_ptr<MediaMixerOutput>> outputs;
  for (const auto& registered : outputs_) outputs.push_back(registered.output);
  co_return outputs;
}

Async<void> MediaMixer::addOutput(std::shared_ptr<MediaMixerOutput> output) {
  co_await hop();
  if (!output || std::any_of(outputs_.begin(), outputs_.end(), [&](const auto& r) { return r.output == output; }))
    co_return;
  auto log = std::make_shared<HandOffLog>(*output);
  outputs_.push_back({std::move(output), std::move(log)});
}

Async<void> MediaMixer::removeOutput(std::shared_ptr<MediaMixerOutput> output) {
  co_await hop();
  auto it = std::find_if(outputs_.begin(), outputs_.end(), [&](const auto& r) { return r.output == output; });
  if (it == outputs_.end()) co_return;
  it->log->pictures.removed(it->log->name);
  it->log->sounds.removed(it->log->name);
  outputs_.erase(it);
}

std::shared_ptr<CaptureSessionConvertible> MediaMixer::session() {
  std::lock_guard lock(componentsMutex_);
  if (!session_) {
    if (captureSessionMode_ == CaptureSessionMode::manual) {
      session_ = std::make_shared<NullCaptureSession>();
    } else {
      session_ = std::make_shared<CaptureSession>(runtime_);
    }
  }
  return session_;
}

std::shared_ptr<VideoCaptureUnit> MediaMixer::videoIO() {
  auto s = session();
  std::lock_guard lock(componentsMutex_);
  if (!videoIO_) videoIO_ = VideoCaptureUnit::make(std::move(s), runtime_);
  return videoIO_;
}

std::shared_ptr<AudioCaptureUnit> MediaMixer::audioIO() {
  auto s = session();
  std::lock_guard lock(componentsMutex_);
  if (!audioIO_) audioIO_ = std::make_shared<AudioCaptureUnit>(std::move(s), isMultiTrackAudioMixingEnabled_, runtime_);
  return audioIO_;
}

std::shared_ptr<Screen> MediaMixer::screen() {
  std::lock_guard lock(componentsMutex_);
  if (!screen_) screen_ = std::make_shared<Screen>();
  return screen_;
}

std::shared_ptr<DisplayLinkChoreographer> MediaMixer::displayLink() {
  std::lock_guard lock(componentsMutex_);
  if (!displayLink_) displayLink_ = std::make_shared<DisplayLinkChoreographer>(runtime_);
  return displayLink_;
}

Async<bool> MediaMixer::isTorchEnabled() {
  co_await hop();
  co_return videoIO()->isTorchEnabled();
}

Async<VideoOrientation> MediaMixer::videoOrientation() {
  co_await hop();
  co_return videoIO()->videoOrientation();
}

Async<bool> MediaMixer::isMonitoringEnabled() {
  co_await hop();
  co_return audioIO()->isMonitoringEnabled();
}

void MediaMixer::append(const SampleBufferRef& sampleBuffer, uint8_t track) {
  if (!sampleBuffer || !sampleBuffer->formatDescription()) return;
  switch (sampleBuffer->mediaType()) {
    case platform::MediaType::audio:
      audioIO()->append(track, sampleBuffer);
      break;
    case platform::MediaType::video:
      videoIO()->append(track, sampleBuffer);
      break;
    default:
      break;
  }
}

void MediaMixer::append(const platform::PCMBufferRef& buffer, const platform::AudioTime& when, uint8_t track) {
  if (!buffer) return;
  audioIO()->append(track, buffer, when);
}

Async<void> MediaMixer::setVideoMixerSettings(VideoMixerSettings settings) {
  co_await hop();
  auto unit = videoIO();
  if (settings.mode != unit->videoMixerSettings().mode) applyVideoMixerMode(settings.mode);
  unit->setVideoMixerSettings(settings);
  track(platform::spawn(
      screenActor_->queue(),
      [](std::shared_ptr<Screen> screen, uint8_t mainTrack) -> Async<void> {
        auto& object = *screen->videoTrackScreenObject();
        if (object.track() != mainTrack) {
          object.setTrack(mainTrack);
          object.setShouldInvalidateLayout(true);
        }
        co_return;
      },
      screen(), settings.mainTrack));
}

void MediaMixer::applyVideoMixerMode(VideoMixerSettings::Mode mode) {
  // While stopping, the mode is only stored and takes effect at the next start.
  if (!isRunning_ || stopsInProgress_ > 0) return;
  auto link = displayLink();
  if (mode == VideoMixerSettings::Mode::passthrough) {
    track(platform::spawn(
        screenActor_->queue(),
        [](std::shared_ptr<DisplayLinkChoreographer> link) -> Async<void> {
          link->stopRunning();
          co_return;
        },
        std::move(link)));
    return;
  }
  track(platform::spawn(
      screenActor_->queue(),
      [](std::weak_ptr<MediaMixer> weak, std::shared_ptr<Screen> screen, std::shared_ptr<DisplayLinkChoreographer> link,
         std::shared_ptr<platform::SerialQueue> screenQueue, double frameRate) -> Async<void> {
        // No suspension before the link starts: a stop queued on the screen
        // queue after this task must find the link running, or it would stop
        // nothing and this loop would never end.
        link->setPreferredFramesPerSecond(static_cast<int>(frameRate));
        link->startRunning();
        auto ticks = link->updateFrames();
        while (auto tick = co_await ticks.next()) {
          co_await platform::hop(screenQueue);
          // None when nothing new is due for this tick.
          platform::SampleBufferRef buffer;
          try {
            buffer = screen->makeSampleBuffer(*tick);
          } catch (const std::exception& e) {
            // A failed tick skips that frame; the next one is composed again.
            MEDLEY_LOG_ERROR("makeSampleBuffer", e.what());
          }
          if (!buffer) continue;
          auto self = weak.lock();
          if (!self) break;
          co_await self->forwardVideo(std::move(buffer), kMixedTrack);
        }
      },
      weak_from_this(), screen(), std::move(link), screenActor_->queue(), frameRate_));
}

void MediaMixer::track(platform::TaskHandle<void> task) {
  std::erase_if(tasks_, [](const auto& t) { return t.isFinished(); });
  tasks_.push_back(std::move(task));
}

namespace {

// One output that fails to take a buffer loses that buffer only: the task that
// forwards to every output (and, offscreen, the render loop) goes on. What the
// hand-off threw comes back as text.
template <class HandOff>
std::string failureOf(HandOff&& handOff) {
  try {
    handOff();
    return {};
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an unknown exception";
  }
}

}  // namespace

Async<void> MediaMixer::forwardVideo(SampleBufferRef buffer, uint8_t trackId) {
  co_await hop();
  const auto outputs = outputs_;
  for (const auto& [output, log] : outputs) {
    if (co_await output->videoTrackId() != trackId) continue;
    auto& receiver = *output;
    if (log->pictureTrack != trackId) {
      log->pictureTrack = trackId;
      log->pictures.setOf("of track " + std::to_string(trackId));
    }
    log->pictures.took(log->name, runtime_->now(), failureOf([&] { receiver.mixer(*this, buffer); }));
  }
}

Async<void> MediaMixer::forwardAudio(AudioCaptureUnit::Output pair) {
  co_await hop();
  const auto outputs = outputs_;
  for (const auto& [output, log] : outputs) {
    if (co_await output->audioTrackId() != kMixedTrack) continue;
    auto& receiver = *output;
    log->sounds.took(log->name, runtime_->now(), failureOf([&] { receiver.mixer(*this, pair.first, pair.second); }));
  }
}

std::vector<std::shared_ptr<VideoScreenObject>> MediaMixer::videoTrackObjects(const ScreenObjectContainer& container) {
  std::vector<std::shared_ptr<VideoScreenObject>> objects;
  for (const auto& child : container.children()) {
    if (auto video = std::dynamic_pointer_cast<VideoScreenObject>(child)) objects.push_back(std::move(video));
  }
  for (const auto& child : container.children()) {
    if (auto inner = std::dynamic_pointer_cast<ScreenObjectContainer>(child)) {
      auto more = videoTrackObjects(*inner);
      objects.insert(objects.end(), more.begin(), more.end());
    }
  }
  return objects;
}

Async<void> MediaMixer::startRunning() {
  co_await hop();
  co_await changeRunning(true);
}

Async<void> MediaMixer::stopRunning() {
  co_await hop();
  co_await changeRunning(false);
}

Async<void> MediaMixer::changeRunning(bool running) {
  co_await hop();
  // Both suspend midway, and isRunning_ holds until a stop's end: a start let
  // in during a stop would find the mixer running and do nothing, and the
  // mixer would end stopped although that start had returned. So each change
  // waits for the one taken before it. Taken here, before any suspension, so
  // the order is the order in which the calls reached the mixer.
  auto change = platform::spawn(
      queue(),
      [](std::weak_ptr<MediaMixer> weak, platform::TaskHandle<void> previous, bool running) -> Async<void> {
        if (previous) {
          try {
            co_await previous.value();
          } catch (...) {
            // That change's failure went to its own caller.
          }
        }
        auto self = weak.lock();
        if (!self) co_return;
        co_await (running ? self->startSteps() : self->stopSteps());
      },
      weak_from_this(), runChange_, running);
  runChange_ = change;
  co_await change.value();
}

Async<void> MediaMixer::startSteps() {
  co_await hop();
  if (isRunning_) co_return;
  isRunning_ = true;
  auto video = videoIO();
  auto audio = audioIO();
  applyVideoMixerMode(video->videoMixerSettings().mode);
  co_await startCaptureSession();
  std::weak_ptr<MediaMixer> weak = weak_from_this();

  track(platform::spawn(
      queue(),
      [](std::weak_ptr<MediaMixer> weak, platform::AsyncStream<VideoCaptureUnit::Input> inputs,
         std::shared_ptr<VideoCaptureUnit> unit, std::shared_ptr<Screen> screen,
         std::shared_ptr<platform::SerialQueue> screenQueue) -> Async<void> {
        while (auto input = co_await inputs.next()) {
          auto self = weak.lock();
          if (!self) break;
          platform::spawnDetached(
              screenQueue,
              [](std::shared_ptr<VideoCaptureUnit> unit, std::shared_ptr<Screen> screen, uint8_t trackId,
                 SampleBufferRef buffer) -> Async<void> {
                const auto settings = unit->videoMixerSettings();
                if (settings.mode != VideoMixerSettings::Mode::offscreen) co_return;
                for (const auto& object : videoTrackObjects(*screen->root())) {
                  if (object->track() != trackId) continue;
                  if (auto* queue = object->queue()) {
                    try {
                      queue->enqueue(buffer);
                    } catch (const std::exception&) {
                      // A full queue drops the picture; the next one comes soon.
                    }
                  }
                  object->setShouldInvalidateLayout(true);
                }
                if (trackId == settings.mainTrack) screen->setVideoCaptureLatency(buffer->presentationTime());
              },
              unit, screen, input->first, input->second);
          co_await self->forwardVideo(input->second, input->first);
        }
      },
      weak, video->inputs(), video, screen(), screenActor_->queue()));

  track(platform::spawn(
      queue(),
      [](std::weak_ptr<MediaMixer> weak, platform::AsyncStream<SampleBufferRef> output) -> Async<void> {
        while (auto buffer = co_await output.next()) {
          auto self = weak.lock();
          if (!self) break;
          co_await self->forwardVideo(std::move(*buffer), kMixedTrack);
        }
      },
      weak, video->output()));

  auto [sound, writer] = platform::AsyncStream<AudioCaptureUnit::Output>::make(platform::BufferingPolicy::unbounded());
  audio->setContinuation(std::move(writer));
  track(platform::spawn(
      queue(),
      [](std::weak_ptr<MediaMixer> weak, platform::AsyncStream<AudioCaptureUnit::Output> sound) -> Async<void> {
        while (auto pair = co_await sound.next()) {
          auto self = weak.lock();
          if (!self) break;
          co_await self->forwardAudio(std::move(*pair));
        }
      },
      weak, std::move(sound)));
}

Async<void> MediaMixer::startCaptureSession() {
  co_await hop();
  auto s = session();
  if (s->isRunning()) {
    s->startRunningIfNeeded();
    co_return;
  }
  // Read before the start, so that a device failing as it starts is heard.
  auto errors = s->runtimeError();
  s->startRunning();
  track(platform::spawn(
      screenActor_->queue(),
      [](std::shared_ptr<Screen> screen, std::shared_ptr<ScreenSynchronizationClock> clock) -> Async<void> {
        screen->renderer().setSynchronizationClock(std::move(clock));
        co_return;
      },
      screen(), s->synchronizationClock()));
  track(platform::spawn(
      queue(),
      [](std::weak_ptr<MediaMixer> weak, platform::AsyncStream<CaptureRuntimeError> errors) -> Async<void> {
        while (auto error = co_await errors.next()) {
          auto self = weak.lock();
          if (!self) break;
          co_await self->sessionRuntimeErrorOccured(std::move(*error));
        }
      },
      weak_from_this(), std::move(errors)));
}

Async<void> MediaMixer::stopCaptureSession() {
  co_await hop();
  auto s = session();
  if (!s->isRunning()) co_return;
  // Also ends the runtime-error sequence and with it the task that reads it.
  s->stopRunning();
  track(platform::spawn(
      screenActor_->queue(),
      [](std::shared_ptr<Screen> screen) -> Async<void> {
        screen->renderer().setSynchronizationClock(nullptr);
        co_return;
      },
      screen()));
}

Async<void> MediaMixer::stopSteps() {
  co_await hop();
  if (!isRunning_) co_return;
  ++stopsInProgress_;
  co_await stopCaptureSession();
  audioIO()->setContinuation(std::nullopt);
  videoIO()->finish();
  for (const auto& task : subscriptions_) task.cancel();
  subscriptions_.clear();
  co_await platform::spawn(
      screenActor_->queue(),
      [](std::shared_ptr<Screen> screen, std::shared_ptr<DisplayLinkChoreographer> link) -> Async<void> {
        link->stopRunning();
        for (const auto& object : videoTrackObjects(*screen->root())) {
          object->frameTracker().clear();
          if (auto* queue = object->queue()) queue->reset();
          object->setShouldInvalidateLayout(true);
        }
        co_return;
      },
      screen(), displayLink())
      .value();
  // Every task ends once its sequence ended; wait for the last of them.
  auto tasks = std::move(tasks_);
  tasks_.clear();
  for (const auto& task : tasks) co_await task.value();
  co_await hop();
  --stopsInProgress_;
  isRunning_ = false;
}

Async<size_t> MediaMixer::liveTaskCount() {
  co_await hop();
  size_t count = 0;
  for (const auto& task : tasks_) count += task.isFinished() ? 0 : 1;
  co_return count;
}

Async<void> MediaMixer::attachVideo(std::shared_ptr<platform::VideoCaptureDevice> device, uint8_t trackId,
                                    VideoConfiguration configuration, std::shared_ptr<VideoDeviceControls> controls) {
  co_await hop();
  auto unit = videoIO();
  try {
    unit->session()->configuration([&](CaptureSessionConvertible&) {
      unit->attachVideo(std::move(device), trackId, configuration, std::move(controls));
    });
  } catch (const std::exception& e) {
    throw Error(Error::Kind::failedToAttach, std::string("attachVideo(_:track:configuration:): ") + e.what(),
                std::current_exception());
  }
}

Async<void> MediaMixer::attachAudio(std::shared_ptr<platform::AudioCapture> capture, std::string deviceID,
                                    uint8_t trackId, AudioConfiguration configuration) {
  co_await hop();
  auto unit = audioIO();
  try {
    session()->configuration([&](CaptureSessionConvertible&) {
      unit->attachAudio(std::move(capture), deviceID, trackId, configuration);
    });
  } catch (const std::exception& e) {
    throw Error(Error::Kind::failedToAttach, std::string("attachAudio(_:track:configuration:): ") + e.what(),
                std::current_exception());
  }
}

Async<void> MediaMixer::configureVideoDevice(uint8_t trackId, VideoConfiguration configuration) {
  co_await hop();
  const auto& devices = videoIO()->devices();
  auto it = devices.find(trackId);
  if (it == devices.end()) throw Error(Error::Kind::deviceNotFound, "no camera on that track");
  if (configuration) configuration(*it->second);
}

Async<void> MediaMixer::configureAudioDevice(uint8_t trackId, AudioConfiguration configuration) {
  co_await hop();
  const auto& devices = audioIO()->devices();
  auto it = devices.find(trackId);
  if (it == devices.end()) throw Error(Error::Kind::deviceNotFound, "no microphone on that track");
  if (configuration) configuration(*it->second);
}

Async<void> MediaMixer::setFrameRate(double frameRate) {
  co_await hop();
  // Below 1 the render pace would truncate to 0, which the display link reads
  // as every refresh: the opposite of what was asked. Refused, as are rates
  // that are not finite or whose durations (1/100 frame) overflow.
  if (!std::isfinite(frameRate) || frameRate < 1 || frameRate * 100 > std::numeric_limits<int32_t>::max()) {
    throw std::invalid_argument("not a frame rate: " + std::to_string(frameRate));
  }
  auto unit = videoIO();
  if (unit->videoMixerSettings().mode == VideoMixerSettings::Mode::offscreen) {
    auto link = displayLink();
    track(platform::spawn(
        screenActor_->queue(),
        [](std::shared_ptr<DisplayLinkChoreographer> link, int fps) -> Async<void> {
          link->setPreferredFramesPerSecond(fps);
          co_return;
        },
        std::move(link), static_cast<int>(frameRate)));
  } else if (!unit->devices().empty()) {
    unit->devices().begin()->second->setFrameRate(frameRate);
  }
  frameRate_ = frameRate;
}

Async<void> MediaMixer::setDynamicRangeMode(DynamicRangeMode mode) {
  co_await hop();
  if (mode == dynamicRangeMode_) co_return;
  track(platform::spawn(
      screenActor_->queue(),
      [](std::shared_ptr<Screen> screen, DynamicRangeMode mode) -> Async<void> {
        screen->setDynamicRangeMode(mode);
        co_return;
      },
      screen(), mode));
  auto unit = videoIO();
  if (unit->setDynamicRangeMode(mode)) {
    try {
      unit->session()->configuration([&](CaptureSessionConvertible&) { unit->applyDynamicRangeMode(); });
    } catch (const std::exception& e) {
      MEDLEY_LOG_WARN("the cameras kept their dynamic range:", e.what());
    }
  }
  dynamicRangeMode_ = mode;
}

Async<void> MediaMixer::setTorchEnabled(bool enabled) {
  co_await hop();
  auto unit = videoIO();
  unit->setTorchEnabled(enabled);
  unit->setTorchMode(enabled ? TorchMode::on : TorchMode::off);
}

Async<void> MediaMixer::setVideoOrientation(VideoOrientation orientation) {
  co_await hop();
  auto unit = videoIO();
  if (unit->setVideoOrientation(orientation)) {
    unit->session()->configuration([&](CaptureSessionConvertible&) { unit->applyVideoOrientation(); });
  }
  if (unit->isTorchEnabled()) unit->setTorchMode(TorchMode::on);
}

Async<void> MediaMixer::setSessionPreset(std::string preset) {
  co_await hop();
  session()->setSessionPreset(preset);
}

Async<void> MediaMixer::setMonitoringEnabled(bool enabled) {
  co_await hop();
  auto unit = audioIO();
  if (enabled && !unit->monitor()->hasOutput()) {
    // Chosen only now: finding the sound server may take a moment.
    if (!monitorOutput_) monitorOutput_ = platform::AudioOutput::makeDefault(runtime_).output;
    unit->monitor()->setOutput(monitorOutput_);
  }
  unit->setMonitoringEnabled(enabled);
}

Async<void> MediaMixer::setAudioMixerSettings(AudioMixerSettings settings) {
  co_await hop();
  audioIO()->setSettings(settings);
}

Async<void> MediaMixer::configuration(std::function<void(CaptureSessionConvertible&)> body) {
  co_await hop();
  session()->configuration(body);
}

Async<void> MediaMixer::sessionRuntimeErrorOccured(CaptureRuntimeError error) {
  co_await hop();
  if (!error.description.empty()) MEDLEY_LOG_WARN("a capture device failed:", error.description);
  (void)deviceFailures_.yield(error);
  switch (error.code) {
    case CaptureRuntimeError::Code::unknown:
      if (!isInBackground_) session()->startRunningIfNeeded();
      break;
    case CaptureRuntimeError::Code::unsupportedDeviceActiveFormat:
      if (auto unit = std::dynamic_pointer_cast<VideoDeviceUnit>(error.device)) {
        // The preset's size; a preset without one lets any size do.
        const auto preset = session()->sessionPreset();
        const int32_t width = presetWidth(preset).value_or(std::numeric_limits<int32_t>::max());
        const int32_t height = presetHeight(preset).value_or(std::numeric_limits<int32_t>::max());
        try {
          if (!unit->changeActiveFormat(width, height, frameRate_, session()->isMultiCamSessionEnabled())) break;
        } catch (const std::exception& e) {
          MEDLEY_LOG_ERROR("sessionRuntimeErrorOccured(_:)", e.what());
          break;
        }
        session()->startRunningIfNeeded();
      }
      break;
  }
}


Async<platform::AsyncStream<CaptureRuntimeError>> MediaMixer::deviceFailures() {
  co_await hop();
  co_return deviceFailures_.stream();
}

void to_json(nlohmann::json& json, MediaMixer::CaptureSessionMode mode) { json = std::string(MediaMixer::rawValue(mode)); }

void from_json(const nlohmann::json& json, MediaMixer::CaptureSessionMode& mode) {
  const auto parsed = MediaMixer::makeCaptureSessionMode(json.get<std::string>());
  if (!parsed) throw nlohmann::json::type_error::create(302, "not a capture session mode: " + json.dump(), &json);
  mode = *parsed;
}

}  // namespace medley
