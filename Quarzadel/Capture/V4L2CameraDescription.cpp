#include "Quarzadel/Capture/V4L2CameraDescription.h"

namespace quarzadel {

CaptureDeviceDescription cameraDescription(const platform::VideoCaptureDeviceInfo& info) {
  CaptureDeviceDescription d;
  d.uniqueID = info.uniqueID;
  d.localizedName = info.name;
  d.modelID = info.modelID;
  d.manufacturer = info.manufacturer;
  d.isSuspended = info.isSuspended;
  d.deviceType = info.isBuiltIn ? CaptureDeviceDescription::kBuiltInWideAngleCamera : CaptureDeviceDescription::kExternal;
  if (info.isBuiltIn)
    d.transportType = CaptureDeviceDescription::kTransportBuiltIn;
  else if (info.isVirtual)
    d.transportType = CaptureDeviceDescription::kTransportVirtual;
  else if (info.busInfo.rfind("usb-", 0) == 0)
    d.transportType = CaptureDeviceDescription::kTransportUSB;
  return d;
}

}  // namespace quarzadel
