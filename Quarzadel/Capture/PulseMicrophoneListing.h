#pragma once
// The device catalogue's microphones from the sound server: its capture sources
// (no monitors), its default source, and its change events.
#include <memory>
#include <mutex>

#include "Platform/Audio/PulseSourceList.h"
#include "Quarzadel/Capture/DeviceListing.h"

namespace quarzadel {

class PulseMicrophoneListing final : public MicrophoneListing {
 public:
  explicit PulseMicrophoneListing(std::shared_ptr<platform::PulseAudioContext> context);

  // A server that stops answering lists nothing.
  std::vector<Microphone> microphones() override;
  std::optional<std::string> defaultMicrophoneID() override;
  std::unique_ptr<DeviceWatch> watchList(std::function<void()> onChange) override;
  std::unique_ptr<DeviceWatch> watchDefaultInput(std::function<void()> onChange, int32_t& status) override;

 private:
  void rewatch();

  std::shared_ptr<platform::PulseSourceList> list_;
  std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
  std::shared_ptr<std::function<void()>> onList_ = std::make_shared<std::function<void()>>();
  std::shared_ptr<std::function<void()>> onDefault_ = std::make_shared<std::function<void()>>();
  bool subscribed_ = false;
};

}  // namespace quarzadel
