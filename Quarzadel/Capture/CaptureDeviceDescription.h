#pragma once
// What the platform tells about one video capture device, as far as sorting it
// into a camera kind needs: its device type, model, transport and names.
#include <cstdint>
#include <string>

#include "Platform/Media/FourCC.h"

namespace quarzadel {

struct CaptureDeviceDescription {
  // Device types, compared by their string values.
  static constexpr const char* kBuiltInWideAngleCamera = "builtInWideAngleCamera";
  static constexpr const char* kDeskViewCamera = "deskViewCamera";
  static constexpr const char* kContinuityCamera = "continuityCamera";
  static constexpr const char* kExternal = "external";

  // Transport types: four ASCII characters read as one big-endian number.
  static constexpr platform::FourCC kTransportBuiltIn = platform::fourCC("bltn");
  static constexpr platform::FourCC kTransportUSB = platform::fourCC("usb ");
  static constexpr platform::FourCC kTransportVirtual = platform::fourCC("virt");
  static constexpr platform::FourCC kTransportAggregate = platform::fourCC("grup");

  std::string deviceType;
  std::string uniqueID;
  std::string modelID;
  platform::FourCC transportType = 0;
  std::string localizedName;
  std::string manufacturer;
  bool isSuspended = false;
};

}  // namespace quarzadel
