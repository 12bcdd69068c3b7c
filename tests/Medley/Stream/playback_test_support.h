#pragma once
// Pictures and sound for the playback tests (media link, player, incoming stream).
#include <memory>
#include <string>
#include <vector>

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

}  // namespace playbacktest

#include <mutex>
#include <utility>

#include "Medley/Sources/Stream/IncomingStream.h"
#include "Medley/Sources/Stream/OutgoingStream.h"
#include "Medley/Sources/Stream/StreamBase.h"

namespace playbacktest {

// An owning stream that records the pictures and the sound its incoming half hands back.
class RecordingStream final : public medley::StreamBase {
 public:
  explicit RecordingStream(std::shared_ptr<platform::Runtime> rt) : StreamBase("recording-stream", rt), rt_(rt) {}

  std::shared_ptr<medley::IncomingStream> incomingStream() {
    if (!incoming_) incoming_ = std::make_shared<medley::IncomingStream>(weak_from_this(), rt_);
    return incoming_;
  }

  platform::Async<medley::StreamReadyState> readyState() override {
    co_await hop();
    co_return medley::StreamReadyState::playing;
  }
  platform::Async<void> setAudioSettings(medley::AudioCodecSettings) override { co_return; }
  platform::Async<void> setVideoSettings(medley::VideoCodecSettings) override { co_return; }
  platform::Async<void> append(platform::SampleBufferRef sampleBuffer) override {
    co_await hop();
    std::lock_guard lock(mutex_);
    pictures_.push_back(std::move(sampleBuffer));
  }
  platform::Async<void> append(platform::AudioBufferRef buffer, platform::AudioTime when) override {
    co_await hop();
    std::lock_guard lock(mutex_);
    sound_.emplace_back(std::move(buffer), when);
  }
  platform::Async<void> dispatch(medley::NetworkMonitorEvent) override { co_return; }
  platform::Async<std::optional<uint8_t>> videoTrackId() override { co_return std::nullopt; }
  platform::Async<std::optional<uint8_t>> audioTrackId() override { co_return std::nullopt; }
  void mixer(medley::MediaMixer&, const platform::SampleBufferRef&) override {}
  void mixer(medley::MediaMixer&, const platform::PCMBufferRef&, const platform::AudioTime&) override {}
  platform::Async<void> selectTrack(std::optional<uint8_t>, platform::MediaType) override { co_return; }

  std::vector<platform::SampleBufferRef> pictures() {
    std::lock_guard lock(mutex_);
    return pictures_;
  }
  std::vector<std::pair<platform::AudioBufferRef, platform::AudioTime>> sound() {
    std::lock_guard lock(mutex_);
    return sound_;
  }

 protected:
  std::shared_ptr<medley::StreamPlayback> incoming() override { return incomingStream(); }
  medley::OutgoingStream& outgoing() override { return outgoing_; }

 private:
  std::shared_ptr<platform::Runtime> rt_;
  std::shared_ptr<medley::IncomingStream> incoming_;
  medley::OutgoingStream outgoing_;
  std::mutex mutex_;
  std::vector<platform::SampleBufferRef> pictures_;
  std::vector<std::pair<platform::AudioBufferRef, platform::AudioTime>> sound_;
};

}  // namespace playbacktest
