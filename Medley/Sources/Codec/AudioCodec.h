#pragma once
// Turns sound into encoded packets (AAC, Opus) or into PCM, and hands each
// result with its time to the reader of its output stream. Publishing appends
// program PCM; playback appends received AAC (with settings format pcm) to
// decode it. Converts only while running.
//
// PCM input waits in a ring buffer until the encoder has a whole packet's
// worth (1024 frames for AAC), so callers may append buffers of any length.
// Packet times count frames from the first buffer appended after a start or
// a drain: the n-th AAC packet is n x 1024 frames after that buffer's host time.
// A buffer that starts more than the ring's length after the frames before it
// (the producer's clock jumped) is not preceded by that much silence: what
// waits is drained with its own times and the time line starts again at it.
//
// Not thread-safe: its owner makes every call; the output stream is read
// from another task.
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "Medley/Sources/Codec/AudioCodecConverter.h"
#include "Medley/Sources/Codec/AudioCodecSettings.h"
#include "Medley/Sources/Mixer/AudioRingBuffer.h"
#include "Medley/Sources/Util/AudioTime.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Media/AudioBuffer.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"
#include "Platform/Time/MediaTime.h"

namespace medley {

class AudioCodec {
 public:
  using Output = std::pair<platform::AudioBufferRef, platform::AudioTime>;

  AudioCodec() = default;
  AudioCodec(const AudioCodec&) = delete;
  AudioCodec& operator=(const AudioCodec&) = delete;
  ~AudioCodec();

  const AudioCodecSettings& settings() const { return settings_; }
  // A new format or channel map drops the converter (the next append builds
  // one); bit rate and downmix go to the running converter.
  void setSettings(const AudioCodecSettings& settings);

  // A new output sequence; the one made before ends, and results go only to the newest.
  platform::AsyncStream<Output> outputStream();

  // Encodes PCM, or decodes a compressed buffer (with settings format pcm).
  void append(const platform::AudioBufferRef& buffer, const platform::AudioTime& when);
  // Decodes a sample buffer of ADTS-framed AAC (settings format pcm only).
  void append(const platform::SampleBuffer& sampleBuffer);

  bool isRunning() const { return isRunning_; }
  void startRunning();
  // Ends the output sequence at once; what still waits in the ring and the
  // encoder stays there (drain() first to hand it out).
  void stopRunning();
  // The end of the input: encodes the frames still waiting in the ring (the
  // last packet padded with silence) and everything the encoder holds back,
  // and yields those packets, timed on from the ones before. The next append
  // then starts a new stream, as after a restart. Only while running.
  void drain();

  const std::optional<platform::AudioFormat>& inputFormat() const { return inputFormat_; }
  // Dropping the format drops buffers and converter; a new one rebuilds them.
  void setInputFormat(const std::optional<platform::AudioFormat>& format);

  const AudioCodecConverter* audioConverter() const { return audioConverter_.get(); }
  const AudioRingBuffer* ringBuffer() const { return ringBuffer_.get(); }
  // The output's time base: anchored on the first appended buffer, advanced per output.
  const AudioTime& audioTime() const { return audioTime_; }

 private:
  std::unique_ptr<AudioCodecConverter> makeAudioConverter();
  platform::AudioBufferRef nextOutputBuffer();
  // A pooled packet no reader holds any more, or none.
  std::shared_ptr<platform::CompressedAudioBuffer> idlePacket();
  platform::AudioBufferRef inputBlock(uint32_t packets, AudioCodecConverter::InputStatus& status);
  void convertAll();

  AudioCodecSettings settings_;
  std::optional<platform::AsyncStreamWriter<Output>> continuation_;
  bool isRunning_ = false;
  std::optional<platform::AudioFormat> inputFormat_;
  AudioTime audioTime_;
  std::unique_ptr<AudioRingBuffer> ringBuffer_;
  std::vector<platform::AudioBufferRef> inputBuffers_;
  std::vector<platform::AudioBufferRef> outputBuffers_;
  // Encoded packets handed out before: one the readers have let go is
  // written again instead of a new one being made per packet.
  std::vector<std::shared_ptr<platform::CompressedAudioBuffer>> packetPool_;
  std::unique_ptr<AudioCodecConverter> audioConverter_;
  size_t inputBuffersCursor_ = 0;
  // The compressed buffer of the current append, until the converter has taken it.
  std::shared_ptr<platform::CompressedAudioBuffer> pendingPacket_;
  // Inside drain(): the input block hands out partial packets, then the end of stream.
  bool draining_ = false;
  // Time lines started again after a jump in the input's sample times.
  uint64_t timelineRestarts_ = 0;
};

}  // namespace medley
