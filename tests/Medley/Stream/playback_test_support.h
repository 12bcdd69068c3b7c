#pragma once
// Pictures, sound and log capture for the playback tests (media link, player, incoming stream).
#include <memory>
#include <string>
#include <vector>

#include "Logwell/RecordingAppender.h"
#include "Medley/Codec/video_test_support.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Media/PCMBuffer.h"

namespace playbacktest {

// The 60 Hz display link's timer interval.
constexpr platform::Nanos kRefresh = 16'666'666;

// A small decoded picture at frame `index` of a 30 fps stream that starts at `start` seconds.
inline platform::SampleBufferRef picture(int index, int startSeconds = 0) {
  static const auto pixels = videotest::makePicture(16, 16, 0);
  return videotest::makeFrame(pixels, platform::MediaTime(int64_t(index) + int64_t(startSeconds) * 30, 30));
}

inline std::vector<int> frameIndices(const std::vector<platform::SampleBufferRef>& frames, int startSeconds = 0) {
  std::vector<int> out;
  for (const auto& f : frames) out.push_back(int(f->presentationTime().convertScale(30).value - startSeconds * 30));
  return out;
}

inline std::shared_ptr<platform::PCMBuffer> tone(const platform::AudioFormat& format, int64_t first, uint32_t frames,
                                                 double frequency = 1000) {
  auto buffer = platform::PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  for (uint32_t c = 0; c < format.channelCount(); ++c)
    for (uint32_t i = 0; i < frames; ++i)
      buffer->floatChannelData()[c][i] =
          static_cast<float>(0.5 * std::sin(2 * M_PI * frequency * double(first + i) / format.sampleRate()));
  return buffer;
}

// Records what the module logger writes while it lives.
class LogCapture {
 public:
  LogCapture() : previous_(medley::logger().appender()) {
    medley::logger().setAppender(recorder_);
  }
  ~LogCapture() { medley::logger().setAppender(previous_); }
  std::vector<std::string> messages(logwell::LWLogLevel level) {
    std::vector<std::string> out;
    for (const auto& r : recorder_->snapshot())
      if (r.level == level) out.push_back(r.message);
    return out;
  }

 private:
  std::shared_ptr<logwell::testing::RecordingAppender> recorder_ =
      std::make_shared<logwell::testing::RecordingAppender>();
  std::shared_ptr<logwell::LWLoggerAppender> previous_;
};

}  // namespace playbacktest
