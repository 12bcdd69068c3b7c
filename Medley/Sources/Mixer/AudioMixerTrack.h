#pragma once
// One input track of an audio mixer: takes the track's audio in whatever
// format it arrives, buffers it in a ring, converts it into the mixer's output
// format in blocks of 1024 frames, applies the track's mute, stamps each block
// with its time and hands it to the owning mixer. A change of the input format
// rebuilds the ring and the converter (frames still buffered are dropped) and
// restarts the times from the next append; the track's settings carry over.
//
// Confined to its owner's thread; the delegate (the owner) outlives it.
#include <cstdint>
#include <memory>
#include <optional>

#include "Medley/Sources/Mixer/AudioMixerTrackDelegate.h"
#include "Medley/Sources/Mixer/AudioMixerTrackSettings.h"
#include "Medley/Sources/Mixer/AudioRingBuffer.h"
#include "Medley/Sources/Util/AudioTime.h"
#include "Platform/Media/AudioConverter.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/SampleBuffer.h"

namespace medley {

class AudioMixerTrack {
 public:
  static constexpr uint32_t kFramesPerBlock = 1024;
  // The converter's input staging buffer; one request never asks for more.
  static constexpr uint32_t kInputBufferFrames = 4096;
  static constexpr uint32_t kRingBufferCounts = 16;

  AudioMixerTrack(uint8_t id, platform::AudioFormat outputFormat, AudioMixerTrackSettings settings = {});
  AudioMixerTrack(const AudioMixerTrack&) = delete;
  AudioMixerTrack& operator=(const AudioMixerTrack&) = delete;

  uint8_t id() const { return id_; }
  const platform::AudioFormat& outputFormat() const { return outputFormat_; }

  AudioMixerTrackDelegate* delegate() const { return delegate_; }
  void setDelegate(AudioMixerTrackDelegate* delegate) { delegate_ = delegate; }

  const AudioMixerTrackSettings& settings() const { return settings_; }
  // Replaces the settings and brings the converter to them.
  void setSettings(AudioMixerTrackSettings settings);

  // The converter, once the first audio has been seen; its input format is
  // the track's input format.
  const platform::AudioConverter* audioConverter() const { return audioConverter_.get(); }

  void append(const platform::SampleBuffer& sampleBuffer);
  void append(const platform::PCMBuffer& buffer, const platform::AudioTime& when);

 private:
  void setSourceFormat(platform::FormatDescriptionRef description);
  void setUp(const platform::FormatDescriptionRef& description);
  void applySettings();
  void convertAvailable();
  // The input is in the output format and the channel map keeps every channel in place.
  bool passesThrough() const;
  void emitBlock();

  const uint8_t id_;
  const platform::AudioFormat outputFormat_;
  AudioMixerTrackDelegate* delegate_ = nullptr;
  AudioMixerTrackSettings settings_;
  platform::FormatDescriptionRef inSourceFormat_;
  AudioTime audioTime_;
  std::unique_ptr<AudioRingBuffer> ringBuffer_;
  platform::PCMBufferRef inputBuffer_;
  // The block being filled; the converter writes straight into it when it is empty.
  platform::PCMBufferRef outputBuffer_;
  uint32_t pendingFrames_ = 0;
  // Where a block's remainder is converted once part of it is filled, so that
  // the frames a conversion made when its input ran dry are never dropped.
  platform::PCMBufferRef scratchBuffer_;
  std::unique_ptr<platform::AudioConverter> audioConverter_;
};

}  // namespace medley
