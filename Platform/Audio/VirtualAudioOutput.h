#pragma once
// An output that hears nothing but plays at the real rate: while a unit plays, a
// timer on the runtime takes one period's worth of frames from its queue every
// period. A queue that runs dry stalls the position (an underrun), as a device
// would. On a VirtualRuntime its whole behaviour follows virtual time.
#include <memory>

#include "Platform/Audio/AudioOutput.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace platform {

class VirtualAudioOutput final : public AudioOutput, public std::enable_shared_from_this<VirtualAudioOutput> {
 public:
  static constexpr Nanos kDefaultPeriod = milliseconds(10);

  explicit VirtualAudioOutput(std::shared_ptr<Runtime> runtime = Runtime::shared(), Nanos period = kDefaultPeriod);

  std::shared_ptr<AudioPlayerUnit> makePlayerUnit() override;
  std::string description() const override { return "virtual"; }
  Nanos period() const { return period_; }

 private:
  const std::shared_ptr<Runtime> runtime_;
  const Nanos period_;
};

}  // namespace platform
