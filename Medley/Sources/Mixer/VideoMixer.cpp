#include "Medley/Sources/Mixer/VideoMixer.h"

#include <algorithm>
#include <cstring>

namespace medley {

void VideoMixer::append(uint8_t track, const platform::SampleBufferRef& sampleBuffer) {
  if (!sampleBuffer) return;
  if (const auto& format = sampleBuffer->formatDescription()) {
    inputFormats_[track] = format;
  } else {
    inputFormats_.erase(track);
  }
  if (auto delegate = delegate_.lock()) delegate->videoMixerDidInput(*this, track, sampleBuffer);
  if (settings_.mode != VideoMixerSettings::Mode::passthrough || track != settings_.mainTrack) return;
  outputSampleBuffer(sampleBuffer);
  currentPixelBuffer_ = sampleBuffer->imageBuffer();
}

void VideoMixer::outputSampleBuffer(const platform::SampleBufferRef& sampleBuffer) {
  if (settings_.isMuted) {
    const auto& image = sampleBuffer->imageBuffer();
    // The incoming buffer carries the previous picture with its own timing, so no buffer is allocated.
    if (image && currentPixelBuffer_ && currentPixelBuffer_ != image) copyPicture(*currentPixelBuffer_, *image);
  }
  if (auto delegate = delegate_.lock()) delegate->videoMixerDidOutput(*this, sampleBuffer);
}

void copyPicture(const platform::PixelBuffer& from, platform::PixelBuffer& into) {
  const int planes = std::min(from.planeCount(), into.planeCount());
  for (int i = 0; i < planes; ++i) {
    const auto source = from.plane(i);
    const auto target = into.plane(i);
    if (!source.data || !target.data) continue;
    const int rows = std::min(source.height, target.height);
    if (source.bytesPerRow == target.bytesPerRow) {
      std::memcpy(target.data, source.data, source.bytesPerRow * static_cast<size_t>(rows));
      continue;
    }
    const size_t bytes = std::min(source.bytesPerRow, target.bytesPerRow);
    for (int row = 0; row < rows; ++row) {
      std::memcpy(target.data + target.bytesPerRow * static_cast<size_t>(row),
                  source.data + source.bytesPerRow * static_cast<size_t>(row), bytes);
    }
  }
}

}  // namespace medley
