// The default audio output for the static build of vividcheck: the test
// machine has no sound server, and the sound server's library has no static
// build. The mixer's monitor, when turned on, plays on the virtual output.
#include "Platform/Audio/AudioOutput.h"
#include "Platform/Audio/VirtualAudioOutput.h"

namespace platform {

AudioOutput::Choice AudioOutput::makeDefault(std::shared_ptr<Runtime> runtime, Nanos) {
  return {std::make_shared<VirtualAudioOutput>(std::move(runtime)), "no sound server in the check"};
}

}  // namespace platform
