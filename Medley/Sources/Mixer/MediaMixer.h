#pragma once
// The media library's hub between capture and delivery. This much of it can
// be made and handed to outputs as the source of their buffers: a mixer in
// manual mode that has not been started (media come through appends only).
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Medley/Sources/Codec/DynamicRangeMode.h"
#include "Medley/Sources/Mixer/MediaMixerOutput.h"
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

  // Makes nothing else: every component is made on first use.
  MediaMixer(CaptureSessionMode captureSessionMode, bool multiTrackAudioMixingEnabled,
             std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

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

 private:
  const CaptureSessionMode captureSessionMode_;
  const bool isMultiTrackAudioMixingEnabled_;
  DynamicRangeMode dynamicRangeMode_ = DynamicRangeMode::sdr;
  double frameRate_ = kDefaultFrameRate;
  bool isRunning_ = false;
  std::vector<std::shared_ptr<MediaMixerOutput>> outputs_;
  std::vector<platform::TaskHandle<void>> subscriptions_;
  bool isInBackground_ = false;
};

void to_json(nlohmann::json& json, MediaMixer::CaptureSessionMode mode);
// Throws nlohmann::json::exception for anything but the three raw values.
void from_json(const nlohmann::json& json, MediaMixer::CaptureSessionMode& mode);

}  // namespace medley
