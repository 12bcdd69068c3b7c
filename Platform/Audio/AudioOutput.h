#pragma once
// Where decoded sound is heard: a sound server when one answers, else a virtual
// output that consumes sound at the real rate on the runtime (for tests and
// machines without sound). The choice is made once, by makeDefault().
#include <memory>
#include <string>

#include "Platform/Audio/AudioPlayerUnit.h"
#include "Platform/Dispatch/Runtime.h"

namespace platform {

class AudioOutput {
 public:
  virtual ~AudioOutput() = default;
  virtual std::shared_ptr<AudioPlayerUnit> makePlayerUnit() = 0;
  // What the output is, for the log: "pulseaudio unix:/run/…" or "virtual".
  virtual std::string description() const = 0;

  struct Choice {
    std::shared_ptr<AudioOutput> output;
    // Why the virtual output was chosen; empty when a server answered.
    std::string reason;
  };
  // The sound server of PULSE_SERVER or the user's runtime socket when it answers
  // within `timeout`, else the virtual output on `runtime`.
  static Choice makeDefault(std::shared_ptr<Runtime> runtime = Runtime::shared(), Nanos timeout = seconds(1));
};

}  // namespace platform
