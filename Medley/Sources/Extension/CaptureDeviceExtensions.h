#pragma once
// Choosing a camera format for a size and frame rate, and the pixel sizes of
// capture presets. Formats are described by their size and frame-rate ranges;
// the capture code keeps the formats themselves and uses the index found here.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace medley {

struct FrameRateRange {
  double minFrameRate = 0;
  double maxFrameRate = 0;
};

struct CaptureDeviceFormat {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<FrameRateRange> videoSupportedFrameRateRanges;
};

// The first range that is not a single rate decides (a hundredth of a frame
// either way counts: drivers give 30000/1001 for "29.97"); a list of single
// rates accepts every rate (the nearest is taken); no ranges accept none.
bool isFrameRateSupported(const CaptureDeviceFormat& format, double frameRate);

// The index of the first format (from the first) that supports the rate and is
// at least the size; otherwise (from the last) the first that supports the
// rate and is smaller in both directions; otherwise none. `multiCam` does not
// change the search.
std::optional<size_t> findVideoFormat(std::span<const CaptureDeviceFormat> formats, int32_t width, int32_t height,
                                      double frameRate, bool multiCam);

// Capture presets by name, as the capture session reports them.
using CaptureSessionPreset = std::string;
namespace captureSessionPreset {
inline const CaptureSessionPreset hd1920x1080 = "1920x1080";
inline const CaptureSessionPreset hd1280x720 = "1280x720";
inline const CaptureSessionPreset vga640x480 = "640x480";
inline const CaptureSessionPreset cif352x288 = "352x288";
// The module's default preset.
inline const CaptureSessionPreset& defaultPreset() { return hd1280x720; }
}  // namespace captureSessionPreset

std::optional<int32_t> presetWidth(const CaptureSessionPreset& preset);
std::optional<int32_t> presetHeight(const CaptureSessionPreset& preset);

}  // namespace medley
