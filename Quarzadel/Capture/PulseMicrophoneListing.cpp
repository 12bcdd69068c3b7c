#include "Quarzadel/Capture/PulseMicrophoneListing.h"

#include <pulse/def.h>

namespace quarzadel {

PulseMicrophoneListing::PulseMicrophoneListing(std::shared_ptr<platform::PulseAudioContext> context)
    : list_(std::make_shared<platform::PulseSourceList>(std::move(context))) {}

std::vector<MicrophoneListing::Microphone> PulseMicrophoneListing::microphones() {
  std::vector<Microphone> out;
  try {
    for (const auto& s : list_->sources()) out.push_back({s.name, s.description, s.transportType, true});
  } catch (const std::exception&) {
  }
  return out;
}

std::optional<std::string> PulseMicrophoneListing::defaultMicrophoneID() {
  try {
    return list_->defaultSourceName();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The server has one subscription per connection: both watches share it, each
// with its own slot that its release empties.
void PulseMicrophoneListing::rewatch() {
  if (subscribed_) return;
  auto mutex = mutex_;
  auto onList = onList_, onDefault = onDefault_;
  subscribed_ = list_->watch(
      [mutex, onList] {
        std::function<void()> f;
        {
          std::lock_guard lock(*mutex);
          f = *onList;
        }
        if (f) f();
      },
      [mutex, onDefault] {
        std::function<void()> f;
        {
          std::lock_guard lock(*mutex);
          f = *onDefault;
        }
        if (f) f();
      });
}

std::unique_ptr<DeviceWatch> PulseMicrophoneListing::watchList(std::function<void()> onChange) {
  {
    std::lock_guard lock(*mutex_);
    *onList_ = std::move(onChange);
  }
  try {
    rewatch();
  } catch (const std::exception&) {
  }
  return std::make_unique<FunctionWatch>([mutex = mutex_, slot = onList_] {
    std::lock_guard lock(*mutex);
    *slot = nullptr;
  });
}

std::unique_ptr<DeviceWatch> PulseMicrophoneListing::watchDefaultInput(std::function<void()> onChange,
                                                                       int32_t& status) {
  {
    std::lock_guard lock(*mutex_);
    *onDefault_ = std::move(onChange);
  }
  try {
    rewatch();
  } catch (const std::exception&) {
  }
  if (!subscribed_) {
    status = -PA_ERR_CONNECTIONTERMINATED;
    std::lock_guard lock(*mutex_);
    *onDefault_ = nullptr;
    return nullptr;
  }
  status = 0;
  return std::make_unique<FunctionWatch>([mutex = mutex_, slot = onDefault_] {
    std::lock_guard lock(*mutex);
    *slot = nullptr;
  });
}

}  // namespace quarzadel
