#pragma once
// One microphone as the Studio lists it, named by its unique identifier.
#include <string>

#include "Quarzadel/Capture/CaptureDeviceDescription.h"

namespace quarzadel {

struct MicDevice {
  std::string id;
  std::string name;
  bool isBuiltIn = false;
  bool isVirtual = false;  // a virtual or aggregate device

  friend bool operator==(const MicDevice&, const MicDevice&) = default;

  static MicDevice from(const std::string& id, const std::string& name, platform::FourCC transportType) {
    return {id, name, transportType == CaptureDeviceDescription::kTransportBuiltIn,
            transportType == CaptureDeviceDescription::kTransportVirtual ||
                transportType == CaptureDeviceDescription::kTransportAggregate};
  }
};

}  // namespace quarzadel

template <>
struct std::hash<quarzadel::MicDevice> {
  size_t operator()(const quarzadel::MicDevice& d) const noexcept {
    size_t h = std::hash<std::string>{}(d.id);
    for (size_t part : {std::hash<std::string>{}(d.name), std::hash<bool>{}(d.isBuiltIn), std::hash<bool>{}(d.isVirtual)})
      h ^= part + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
  }
};
