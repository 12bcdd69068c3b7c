#pragma once
// Why a capture device could not be opened, configured or kept streaming.
#include <stdexcept>
#include <string>

namespace platform {

struct VideoCaptureError : std::runtime_error {
  enum class Kind {
    permissionDenied,  // EACCES, EPERM
    busy,              // EBUSY: another process holds the device
    disconnected,      // ENODEV, ENOENT, ENXIO: the device is gone
    noUsableFormat,    // nothing the device offers can be turned into pictures
    other,
  };

  VideoCaptureError(Kind kind, int code, const std::string& description)
      : std::runtime_error(description), kind(kind), code(code) {}

  // The kind of an errno value, with strerror's text.
  static VideoCaptureError fromErrno(int code);
  static Kind kindOf(int code);

  Kind kind;
  int code;  // errno, 0 when none
  // Set by a format change whose stream could not restart: the stream is over
  // (told once as the device's event), not kept as it was.
  bool streamEnded = false;
};

}  // namespace platform
