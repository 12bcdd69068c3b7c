#pragma once
// The sound server as the audio output: each player unit is a playback stream
// of the one shared connection.
#include <memory>
#include <string>

#include "Platform/Audio/AudioOutput.h"
#include "Platform/Audio/PulseAudioContext.h"

namespace platform {

class PulseAudioOutput final : public AudioOutput {
 public:
  // `sink` empty: the server's default sink. Completions run on queues of `runtime`.
  PulseAudioOutput(std::shared_ptr<PulseAudioContext> context, std::shared_ptr<Runtime> runtime = Runtime::shared(),
                   std::string sink = {});

  std::shared_ptr<AudioPlayerUnit> makePlayerUnit() override;
  std::string description() const override { return "pulseaudio " + context_->server(); }
  const std::shared_ptr<PulseAudioContext>& context() const { return context_; }

 private:
  const std::shared_ptr<PulseAudioContext> context_;
  const std::shared_ptr<Runtime> runtime_;
  const std::string sink_;
};

}  // namespace platform
