#include "Platform/Audio/PulseAudioOutput.h"

#include "Platform/Audio/PulseAudioPlayback.h"
#include "Platform/Audio/VirtualAudioOutput.h"

namespace platform {

PulseAudioOutput::PulseAudioOutput(std::shared_ptr<PulseAudioContext> context, std::shared_ptr<Runtime> runtime,
                                   std::string sink)
    : context_(std::move(context)), runtime_(std::move(runtime)), sink_(std::move(sink)) {}

std::shared_ptr<AudioPlayerUnit> PulseAudioOutput::makePlayerUnit() {
  return std::make_shared<PulseAudioPlayback>(context_, SerialQueue::make("PulseAudioPlayback", runtime_), sink_);
}

AudioOutput::Choice AudioOutput::makeDefault(std::shared_ptr<Runtime> runtime, Nanos timeout) {
  try {
    PulseAudioContext::Options options;
    options.connectTimeout = timeout;
    auto context = PulseAudioContext::connect(options);
    return {std::make_shared<PulseAudioOutput>(std::move(context), runtime), {}};
  } catch (const PulseAudioError& error) {
    return {std::make_shared<VirtualAudioOutput>(runtime), error.what()};
  }
}

}  // namespace platform
