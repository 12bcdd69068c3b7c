#include "Medley/Sources/Mixer/MediaMixer.h"

#include <algorithm>

#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

using platform::Async;

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

MediaMixer::MediaMixer(CaptureSessionMode captureSessionMode, bool multiTrackAudioMixingEnabled,
                       std::shared_ptr<platform::Runtime> runtime)
    : Actor(std::string(kLibraryIdentifierPrefix) + ".Medley.MediaMixer", std::move(runtime)),
      captureSessionMode_(captureSessionMode),
      isMultiTrackAudioMixingEnabled_(multiTrackAudioMixingEnabled) {}

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

Async<std::vector<std::shared_ptr<MediaMixerOutput>>> MediaMixer::outputs() {
  co_await hop();
  co_return outputs_;
}

Async<void> MediaMixer::addOutput(std::shared_ptr<MediaMixerOutput> output) {
  co_await hop();
  if (!output || std::find(outputs_.begin(), outputs_.end(), output) != outputs_.end()) co_return;
  outputs_.push_back(std::move(output));
}

Async<void> MediaMixer::removeOutput(std::shared_ptr<MediaMixerOutput> output) {
  co_await hop();
  auto it = std::find(outputs_.begin(), outputs_.end(), output);
  if (it != outputs_.end()) outputs_.erase(it);
}

void to_json(nlohmann::json& json, MediaMixer::CaptureSessionMode mode) { json = std::string(MediaMixer::rawValue(mode)); }

void from_json(const nlohmann::json& json, MediaMixer::CaptureSessionMode& mode) {
  const auto parsed = MediaMixer::makeCaptureSessionMode(json.get<std::string>());
  if (!parsed) throw nlohmann::json::type_error::create(302, "not a capture session mode: " + json.dump(), &json);
  mode = *parsed;
}

}  // namespace medley
