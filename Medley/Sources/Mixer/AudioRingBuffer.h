#pragma once
// A fixed-size ring of PCM frames in one format. Producers append buffers
// stamped with sample times; a consumer renders a requested number of frames.
// A producer's gap (a buffer starting later than the frames before it ended)
// is owed as silence, which the next render emits ahead of the stored frames,
// so the consumer sees a continuous frame sequence. A gap longer than the whole
// ring is not owed: the ring re-anchors on the late buffer's time (and logs
// it), so a jump in the producer's clock costs no more than a ring of silence
// would.
//
// Not synchronised: an owner that appends and renders on different threads
// serialises the calls itself.
#include <cstdint>
#include <memory>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace medley {

class AudioRingBuffer {
 public:
  static constexpr uint32_t kFramesPerBuffer = 1024;
  static constexpr uint32_t kMaxBufferCounts = 4194303;
  // render() results.
  static constexpr int32_t kNoErr = 0;
  static constexpr int32_t kNothingToRender = -1;

  // A ring of bufferCounts x 1024 frames; nullptr when the format is not
  // native-endian PCM, bufferCounts is 0 or too large, or memory runs out.
  static std::unique_ptr<AudioRingBuffer> make(const platform::AudioFormat& format, uint32_t bufferCounts = 16);

  const platform::AudioFormat& inputFormat() const { return inputFormat_; }
  // Frames the ring holds.
  uint32_t ringLength() const { return ringLength_; }
  // Frames ready for the consumer: stored frames plus owed silence.
  int64_t counts() const { return stored_ + skip_; }
  int64_t skip() const { return skip_; }
  // The sample time the next appended frame is expected to carry (0: not anchored yet).
  int64_t sampleTime() const { return sampleTime_; }
  // Whether a buffer starting at `incomingSampleTime` would re-anchor the ring:
  // it starts more than a whole ring after the frames before it ended.
  bool reanchors(int64_t incomingSampleTime) const;
  // Times the ring re-anchored on a late buffer.
  uint64_t reanchorCount() const { return reanchorCount_; }

  // Appends an audio sample buffer; its sample time comes from its
  // presentation time at the ring's rate. Buffers that are not PCM audio are
  // ignored. A buffer longer than the whole ring is owed as silence of its
  // length. Big-endian samples are stored in native order. When the samples
  // cannot be read (another layout), silence of their length is stored.
  void append(const platform::SampleBuffer& sampleBuffer);
  // Appends a PCM buffer at `when.sampleTime`. A buffer in another layout is
  // stored as silence of its length.
  void append(const platform::PCMBuffer& buffer, const platform::AudioTime& when);

  // Writes `frames` frames into `ioData` from frame `offset`: first the owed
  // silence, then stored frames, oldest first. When fewer are ready than
  // asked, the rest of the request is zeroed. kNothingToRender (ioData
  // untouched) for a null or incompatible list, a request beyond its
  // capacity, or when nothing is stored and no silence is owed.
  int32_t render(uint32_t frames, platform::PCMBuffer* ioData, uint32_t offset = 0);

  // Empties the ring and forgets the anchor and owed silence.
  void reset();

 private:
  AudioRingBuffer(platform::AudioFormat format, platform::PCMBufferRef staging, platform::PCMBufferRef ring);
  void applyTiming(int64_t incomingSampleTime);
  // Writes the staging buffer's frameLength frames at head, dropping the
  // oldest stored frames when they do not fit.
  void writeStaging();
  bool ensureStaging(uint32_t frames);
  void swapBytesOfStaging(uint32_t sampleBytes);

  platform::AudioFormat inputFormat_;
  platform::PCMBufferRef inputBuffer_;
  platform::PCMBufferRef outputBuffer_;
  uint32_t ringLength_ = 0;
  uint32_t head_ = 0;
  uint32_t tail_ = 0;
  int64_t stored_ = 0;
  int64_t skip_ = 0;
  int64_t sampleTime_ = 0;
  uint64_t reanchorCount_ = 0;
};

}  // namespace medley
