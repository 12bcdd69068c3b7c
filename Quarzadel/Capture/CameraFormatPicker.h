#pragma once
// Scores a camera's capture formats against the program's size and rate: 0 is a
// perfect fit and every shortcoming subtracts (too slow, too small or too large,
// another aspect, compressed). Ties go to the format listed first.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "Platform/Capture/VideoCaptureFormat.h"
#include "Quarzadel/Program/StreamConfig.h"

namespace quarzadel {

class CameraFormatPicker {
 public:
  struct Candidate {
    size_t index = 0;
    int width = 0;
    int height = 0;
    double maxFrameRate = 0;  // highest of the format's ranges; 0 without any
    bool isCompressed = false;

    Candidate() = default;
    Candidate(size_t index, int width, int height, double maxFrameRate, bool isCompressed)
        : index(index), width(width), height(height), maxFrameRate(maxFrameRate), isCompressed(isCompressed) {}
    Candidate(size_t index, const platform::VideoCaptureFormat& format);
  };

  // Encodings that count as compressed: Motion JPEG, JPEG, H.264, HEVC (V4L2 codes).
  static const std::set<uint32_t>& compressedSubtypes();

  static double score(const Candidate& c, const StreamConfig& target);
  static std::optional<Candidate> pick(const std::vector<Candidate>& candidates, const StreamConfig& target);

  static int64_t targetPixels(StreamConfig::Resolution r) { return r == StreamConfig::Resolution::hd720 ? 921600 : 2073600; }
};

}  // namespace quarzadel
