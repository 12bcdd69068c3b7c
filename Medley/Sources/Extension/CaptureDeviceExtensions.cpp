#include "Medley/Sources/Extension/CaptureDeviceExtensions.h"

namespace medley {

bool isFrameRateSupported(const CaptureDeviceFormat& format, double rate) {
  for (const auto& range : format.videoSupportedFrameRateRanges) {
    if (range.minFrameRate != range.maxFrameRate) {
      return range.minFrameRate - 0.01 <= rate && rate <= range.maxFrameRate + 0.01;
    }
  }
  // Only single rates: the nearest of them stands in for the requested one.
  return !format.videoSupportedFrameRateRanges.empty();
}

std::optional<size_t> findVideoFormat(std::span<const CaptureDeviceFormat> formats, int32_t width, int32_t height,
                                      double frameRate, bool) {
  for (size_t i = 0; i < formats.size(); ++i) {
    const auto& f = formats[i];
    if (isFrameRateSupported(f, frameRate) && f.width >= width && f.height >= height) return i;
  }
  for (size_t i = formats.size(); i-- > 0;) {
    const auto& f = formats[i];
    if (isFrameRateSupported(f, frameRate) && f.width < width && f.height < height) return i;
  }
  return std::nullopt;
}

namespace {
struct PresetSize {
  const CaptureSessionPreset* preset;
  int32_t width;
  int32_t height;
};
const PresetSize kPresetSizes[] = {
    {&captureSessionPreset::hd1920x1080, 1920, 1080},
    {&captureSessionPreset::hd1280x720, 1280, 720},
    {&captureSessionPreset::vga640x480, 640, 480},
    {&captureSessionPreset::cif352x288, 352, 288},
};
}  // namespace

std::optional<int32_t> presetWidth(const CaptureSessionPreset& preset) {
  for (const auto& p : kPresetSizes)
    if (*p.preset == preset) return p.width;
  return std::nullopt;
}

std::optional<int32_t> presetHeight(const CaptureSessionPreset& preset) {
  for (const auto& p : kPresetSizes)
    if (*p.preset == preset) return p.height;
  return std::nullopt;
}

}  // namespace medley
