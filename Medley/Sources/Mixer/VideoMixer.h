#pragma once
// The first stop of every video buffer entering the media mixer: records each
// track's format, hands every buffer on as a track input and, in passthrough,
// forwards the main track as the mixed picture (frozen on its last picture
// while muted). In offscreen it forwards nothing: the compositor makes the picture.
//
// Not synchronised: one owner feeds it at a time (the video capture unit's queue).
#include <cstdint>
#include <map>
#include <memory>

#include "Medley/Sources/Mixer/VideoMixerDelegate.h"
#include "Medley/Sources/Mixer/VideoMixerSettings.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/SampleBuffer.h"

namespace medley {

class VideoMixer {
 public:
  explicit VideoMixer(std::weak_ptr<VideoMixerDelegate> delegate = {}) : delegate_(std::move(delegate)) {}

  std::shared_ptr<VideoMixerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<VideoMixerDelegate> delegate) { delegate_ = std::move(delegate); }

  const VideoMixerSettings& settings() const { return settings_; }
  void setSettings(const VideoMixerSettings& settings) { settings_ = settings; }

  const std::map<uint8_t, platform::FormatDescriptionRef>& inputFormats() const { return inputFormats_; }
  // Forgets a track's format (its camera went away).
  void removeInputFormat(uint8_t track) { inputFormats_.erase(track); }
  // The picture of the last buffer forwarded on the main track.
  const platform::PixelBufferRef& currentPixelBuffer() const { return currentPixelBuffer_; }

  void append(uint8_t track, const platform::SampleBufferRef& sampleBuffer);

 private:
  void outputSampleBuffer(const platform::SampleBufferRef& sampleBuffer);

  std::weak_ptr<VideoMixerDelegate> delegate_;
  VideoMixerSettings settings_;
  std::map<uint8_t, platform::FormatDescriptionRef> inputFormats_;
  platform::PixelBufferRef currentPixelBuffer_;
};

// Copies the picture of `from` into `into`, plane by plane, within the rows
// and bytes both have, so pictures of different sizes never overrun either.
void copyPicture(const platform::PixelBuffer& from, platform::PixelBuffer& into);

}  // namespace medley
