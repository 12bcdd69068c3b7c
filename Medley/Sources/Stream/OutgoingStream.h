#pragma once
// The publishing half of a stream: owns the audio and the video encoder,
// records the latest input formats, queues raw video frames for the encoder
// and hands out the encoders' output as asynchronous sequences.
//
// Raw frames wait in the video input sequence while the encoder is busy. With
// a positive videoInputBufferCounts only that many newest frames wait; with
// none of its own the queue still keeps at most kVideoInputBufferLimit, so a
// reader that falls behind costs frames (oldest first, counted), not memory.
// Audio does not queue here: it goes to the audio encoder at once.
//
// Not thread-safe: its owner (the stream's actor) makes every call; the
// sequences are read from that actor's tasks.
#include <cstdint>
#include <memory>
#include <optional>

#include "Medley/Sources/Codec/AudioCodec.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Sources/Stream/Runner.h"
#include "Platform/Concurrency/AsyncStreamWriterSlot.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/HostClock.h"

namespace medley {

class OutgoingStream final : public Runner {
 public:
  // Frames kept by the raw video queue when videoInputBufferCounts sets no limit.
  static constexpr size_t kVideoInputBufferLimit = 60;

  explicit OutgoingStream(std::shared_ptr<const platform::Clock> clock = platform::HostClock::shared());
  ~OutgoingStream() override;
  OutgoingStream(const OutgoingStream&) = delete;
  OutgoingStream& operator=(const OutgoingStream&) = delete;

  bool isRunning() const override { return isRunning_; }
  // Starts the video encoder, then the audio encoder; once.
  void startRunning() override;
  // Stops both encoders and ends the raw video sequence; once.
  void stopRunning() override;

  // Format of the last audio or video input; kept across stop and start.
  const platform::FormatDescriptionRef& audioInputFormat() const { return audioInputFormat_; }
  const platform::FormatDescriptionRef& videoInputFormat() const { return videoInputFormat_; }

  // Read when the video input sequence is made; 0 or less sets no limit of its own.
  int videoInputBufferCounts() const { return videoInputBufferCounts_; }
  void setVideoInputBufferCounts(int counts) { videoInputBufferCounts_ = counts; }

  const AudioCodecSettings& audioSettings() const { return audioCodec_.settings(); }
  void setAudioSettings(const AudioCodecSettings& settings) { audioCodec_.setSettings(settings); }
  const VideoCodecSettings& videoSettings() const { return videoCodec_.settings(); }
  void setVideoSettings(const VideoCodecSettings& settings) { videoCodec_.setSettings(settings); }

  // Encoded audio with its times; each call ends the sequence made before.
  platform::AsyncStream<AudioCodec::Output> audioOutputStream() { return audioCodec_.outputStream(); }
  // Encoded video (unbounded); each call ends the sequence made before.
  platform::AsyncStream<platform::SampleBufferRef> videoOutputStream() { return videoCodec_.outputStream(); }
  // Raw video frames waiting for appendVideo; each call ends the sequence made before.
  platform::AsyncStream<platform::SampleBufferRef> videoInputStream();

  // Audio goes to the audio encoder; video into the raw video sequence (dropped
  // while no one has made one); other buffers are ignored.
  void append(const platform::SampleBufferRef& sampleBuffer);
  void append(const platform::AudioBufferRef& buffer, const platform::AudioTime& when);
  // One frame read from the raw video sequence, to the video encoder.
  void appendVideo(const platform::SampleBufferRef& sampleBuffer);

  // Raw frames the video input queue dropped because its reader fell behind.
  uint64_t videoInputDroppedFrameCount() const { return videoInputDroppedFrames_; }

  AudioCodec& audioCodec() { return audioCodec_; }
  VideoCodec& videoCodec() { return videoCodec_; }

 private:
  void replaceVideoInputContinuation(std::optional<platform::AsyncStreamWriter<platform::SampleBufferRef>> writer);

  bool isRunning_ = false;
  platform::FormatDescriptionRef audioInputFormat_;
  int videoInputBufferCounts_ = -1;
  platform::FormatDescriptionRef videoInputFormat_;
  AudioCodec audioCodec_;
  VideoCodec videoCodec_;
  std::optional<platform::AsyncStreamWriter<platform::SampleBufferRef>> videoInputContinuation_;
  uint64_t videoInputDroppedFrames_ = 0;
};

}  // namespace medley
