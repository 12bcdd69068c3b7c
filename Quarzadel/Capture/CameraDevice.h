#pragma once
// One camera as the Studio lists it, named by its unique identifier alone (no
// reference to a platform device), and the rule that sorts cameras into kinds.
#include <optional>
#include <string>
#include <string_view>

#include "Quarzadel/Capture/CaptureDeviceDescription.h"

namespace quarzadel {

struct CameraDevice {
  enum class Kind { builtIn, usb, continuity, deskView, virtual_, other, screen };

  static constexpr const char* kScreenShareID = "screen-share";

  std::string id;
  std::string name;
  Kind kind = Kind::other;
  std::string modelID;
  bool isSuspended = false;

  friend bool operator==(const CameraDevice&, const CameraDevice&) = default;

  // The kind of a platform camera; never `screen`.
  static Kind classify(const CaptureDeviceDescription& device);
  // The record of a platform camera.
  static CameraDevice from(const CaptureDeviceDescription& device);
  // The pseudo camera of a shared screen, named after the shared content.
  static CameraDevice screenShare(std::string contentName);
};

// Raw values are the case names ("builtIn", ..., "virtual", "other", "screen").
std::string_view rawValue(CameraDevice::Kind kind);
std::optional<CameraDevice::Kind> cameraKindFromRawValue(std::string_view raw);

}  // namespace quarzadel

template <>
struct std::hash<quarzadel::CameraDevice::Kind> {
  size_t operator()(quarzadel::CameraDevice::Kind k) const noexcept {
    return std::hash<std::string_view>{}(quarzadel::rawValue(k));
  }
};

template <>
struct std::hash<quarzadel::CameraDevice> {
  size_t operator()(const quarzadel::CameraDevice& d) const noexcept {
    size_t h = std::hash<std::string>{}(d.id);
    for (size_t part : {std::hash<std::string>{}(d.name), std::hash<quarzadel::CameraDevice::Kind>{}(d.kind),
                        std::hash<std::string>{}(d.modelID), std::hash<bool>{}(d.isSuspended)})
      h ^= part + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
  }
};
