#include "Quarzadel/Capture/CameraFormatPicker.h"

#include <algorithm>
#include <cmath>

namespace quarzadel {

CameraFormatPicker::Candidate::Candidate(size_t index, const platform::VideoCaptureFormat& format)
    : index(index), width(format.width), height(format.height) {
  for (const auto& range : format.frameRateRanges) maxFrameRate = std::max(maxFrameRate, range.maxFrameRate);
  isCompressed = format.isCompressed || compressedSubtypes().count(format.pixelFormat) > 0;
}

const std::set<uint32_t>& CameraFormatPicker::compressedSubtypes() {
  static const std::set<uint32_t> subtypes{platform::v4l2FourCC("MJPG"), platform::v4l2FourCC("JPEG"),
                                           platform::v4l2FourCC("H264"), platform::v4l2FourCC("HEVC")};
  return subtypes;
}

double CameraFormatPicker::score(const Candidate& c, const StreamConfig& target) {
  const double rate = target.frameRate;
  const double pixels = static_cast<double>(targetPixels(target.resolution));
  const double aspect = static_cast<double>(target.width()) / static_cast<double>(target.height());

  const double f = c.maxFrameRate + 0.5 < rate ? -1000.0 * (rate - c.maxFrameRate) / rate : 0.0;
  const auto area = static_cast<int64_t>(c.width) * static_cast<int64_t>(c.height);
  const double ratio = static_cast<double>(area) / pixels;
  const double s = pixels <= static_cast<double>(area) + 1 ? 60.0 * std::log2(ratio) : 400.0 * (1.0 - ratio);
  const double a =
      120.0 * std::fabs(std::log((static_cast<double>(c.width) / std::max(c.height, 1)) / aspect));
  const double compression = c.isCompressed ? 5.0 : 0.0;
  return f - s - a - compression;
}

std::optional<CameraFormatPicker::Candidate> CameraFormatPicker::pick(const std::vector<Candidate>& candidates,
                                                                      const StreamConfig& target) {
  if (candidates.empty()) return std::nullopt;
  if (candidates.size() == 1) return candidates.front();
  Candidate best = candidates.front();
  double bestScore = score(best, target);
  for (size_t k = 1; k < candidates.size(); ++k) {
    const double s = score(candidates[k], target);
    // A NaN score compares false both ways and never replaces the best.
    if (s > bestScore || (s == bestScore && candidates[k].index < best.index)) {
      best = candidates[k];
      bestScore = s;
    }
  }
  return best;
}

}  // namespace quarzadel
