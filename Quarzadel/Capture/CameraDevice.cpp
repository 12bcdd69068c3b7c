#include "Quarzadel/Capture/CameraDevice.h"

#include "Platform/Text/AsciiLowercase.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace quarzadel {

namespace {

constexpr std::array<std::pair<CameraDevice::Kind, std::string_view>, 7> kRaw{{
    {CameraDevice::Kind::builtIn, "builtIn"},
    {CameraDevice::Kind::usb, "usb"},
    {CameraDevice::Kind::continuity, "continuity"},
    {CameraDevice::Kind::deskView, "deskView"},
    {CameraDevice::Kind::virtual_, "virtual"},
    {CameraDevice::Kind::other, "other"},
    {CameraDevice::Kind::screen, "screen"},
}};

// Words in a camera's name, model or maker that mark software cameras.
constexpr std::array<std::string_view, 7> kVirtualWords{"virtual", "obs",   "camo",     "snap camera",
                                                        "ndi",     "mmhmm", "extension"};

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }


}  // namespace

std::string_view rawValue(CameraDevice::Kind kind) {
  for (const auto& [k, raw] : kRaw)
    if (k == kind) return raw;
  return "other";
}

std::optional<CameraDevice::Kind> cameraKindFromRawValue(std::string_view raw) {
  for (const auto& [k, r] : kRaw)
    if (r == raw) return k;
  return std::nullopt;
}

CameraDevice::Kind CameraDevice::classify(const CaptureDeviceDescription& d) {
  using D = CaptureDeviceDescription;
  if (d.deviceType == D::kBuiltInWideAngleCamera) return Kind::builtIn;
  if (d.deviceType == D::kDeskViewCamera) return Kind::deskView;
  if (d.deviceType == D::kContinuityCamera) return Kind::continuity;
  if (startsWith(d.modelID, "iPhone") || startsWith(d.modelID, "iPad")) return Kind::continuity;
  if (d.transportType == D::kTransportBuiltIn) return Kind::builtIn;
  if (d.transportType == D::kTransportUSB) return Kind::usb;
  if (d.transportType == D::kTransportVirtual) return Kind::virtual_;
  const std::string text = platform::asciiLowercase(d.localizedName + " " + d.modelID + " " + d.manufacturer);
  for (std::string_view word : kVirtualWords)
    if (text.find(word) != std::string::npos) return Kind::virtual_;
  return Kind::other;
}

CameraDevice CameraDevice::from(const CaptureDeviceDescription& d) {
  return {d.uniqueID, d.localizedName, classify(d), d.modelID, d.isSuspended};
}

CameraDevice CameraDevice::screenShare(std::string contentName) {
  return {kScreenShareID, std::move(contentName), Kind::screen, "screen", false};
}

}  // namespace quarzadel
