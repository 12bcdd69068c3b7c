#pragma once
// A file of raw bi-planar 4:2:0 video-range frames without header or padding
// (each frame the luma rows, then the interleaved chroma rows), mapped into
// memory read-only. The synthetic noise camera plays it in a loop.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "Platform/Media/PixelBuffer.h"

namespace quarzadel {

class SyntheticClip {
 public:
  // None when the file cannot be opened, read or mapped.
  static std::shared_ptr<const SyntheticClip> load(const std::filesystem::path& path);
  ~SyntheticClip();
  SyntheticClip(const SyntheticClip&) = delete;
  SyntheticClip& operator=(const SyntheticClip&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

  static size_t frameBytes(int width, int height) { return static_cast<size_t>(width) * height * 3 / 2; }
  // Whole frames of this size in the clip (a trailing partial frame does not count).
  size_t frameCount(int width, int height) const;
  // The frame shown at host time t at `fps`: round(t x fps) modulo the frame count.
  size_t frameIndex(double t, double fps, int width, int height) const;
  // Copies that frame into a bi-planar buffer of the same size; false (buffer
  // untouched) when the clip holds less than one frame of the buffer's size.
  bool copyFrame(double t, double fps, platform::PixelBuffer& buffer) const;

 private:
  SyntheticClip(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  const uint8_t* data_;
  size_t size_;
};

}  // namespace quarzadel
