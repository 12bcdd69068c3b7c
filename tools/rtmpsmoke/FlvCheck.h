#pragma once
// Reads a recorded FLV file (legacy or enhanced) back through the project's
// own message readers, decodes every picture with libavcodec, and measures
// the frame rate and the offset between the first sound and the first picture.
#include <cstdint>
#include <string>

namespace rtmpsmoke {

struct FlvReport {
  std::string videoCodec;  // "h264", "hevc" or empty
  int width = 0;
  int height = 0;
  int64_t videoFrames = 0;
  int64_t decodedFrames = 0;
  int64_t decodeErrors = 0;
  double framesPerSecond = 0;
  std::string audioCodec;  // "aac" or empty
  double sampleRate = 0;
  uint32_t channels = 0;
  int64_t audioFrames = 0;
  // First audio frame's time minus first picture's presentation time, in milliseconds.
  int64_t audioVideoOffsetMs = 0;
  double durationSeconds = 0;
  std::string problem;  // empty when the file could be read
};

FlvReport checkFlv(const std::string& path);

}  // namespace rtmpsmoke
