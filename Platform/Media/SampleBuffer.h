#pragma once
// One or more media samples with their timing and format: a raw picture
// (image buffer) or a block of bytes (encoded video, encoded or PCM audio).
// Shared by pointer; the picture or bytes are never copied when a sample
// buffer is passed on or re-timed. Per-sample attachments may be changed by
// the maker before the buffer is handed on, like the data itself.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Media/BlockBuffer.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Time/MediaTime.h"

namespace platform {

struct SampleTiming {
  MediaTime duration = MediaTime::invalid();
  MediaTime presentationTime = MediaTime::invalid();
  MediaTime decodeTime = MediaTime::invalid();
};

struct SampleAttachments {
  // Present (true) on frames that are not key frames.
  bool notSync = false;
  std::optional<bool> dependsOnOthers;
  std::optional<bool> dependedOnByOthers;
  bool displayImmediately = false;
  friend bool operator==(const SampleAttachments&, const SampleAttachments&) = default;
};

class SampleBuffer;
using SampleBufferRef = std::shared_ptr<SampleBuffer>;

class SampleBuffer {
 public:
  // One picture; the format description is made from the picture when none is given.
  // nullptr without a picture, or with a description that is not of raw video.
  static SampleBufferRef makeImage(PixelBufferRef image, const SampleTiming& timing,
                                   FormatDescriptionRef format = nullptr);

  // `numSamples` samples laid end to end in `data`. `sampleSizes` holds one
  // size per sample, one size shared by all samples, or nothing (sizes
  // unknown, e.g. a single video frame: its size is the block's). nullptr
  // without a description, or when the sizes do not add up to at most the block's size.
  static SampleBufferRef makeData(BlockBuffer data, FormatDescriptionRef format, const SampleTiming& timing,
                                  size_t numSamples = 1, std::vector<size_t> sampleSizes = {});

  // The same samples with other timing (and the same attachments).
  SampleBufferRef withTiming(const SampleTiming& timing) const;

  const FormatDescriptionRef& formatDescription() const { return format_; }
  MediaType mediaType() const { return format_->mediaType(); }

  MediaTime presentationTime() const { return timing_.presentationTime; }
  MediaTime decodeTime() const { return timing_.decodeTime; }
  MediaTime duration() const { return timing_.duration; }
  const SampleTiming& timing() const { return timing_; }

  // The picture, or nullptr for data buffers.
  const PixelBufferRef& imageBuffer() const { return image_; }
  // The bytes, or nullptr for picture buffers.
  const BlockBuffer* dataBuffer() const { return image_ ? nullptr : &data_; }

  size_t numSamples() const { return numSamples_; }
  // Size in bytes of sample i (0 for pictures or out of range).
  size_t sampleSize(size_t index) const;
  size_t totalSampleSize() const;
  // The bytes of sample i, sharing memory; empty for pictures or out of range.
  BlockBuffer sampleData(size_t index) const;

  // Attachments of sample i (all absent for samples never written).
  SampleAttachments attachments(size_t index = 0) const;
  // For the maker; nullptr for an index out of range.
  SampleAttachments* mutableAttachments(size_t index = 0);
  // The first sample is a key frame (no notSync).
  bool isSync() const { return !attachments_.front().notSync; }
  void setNotSync(bool notSync) { attachments_.front().notSync = notSync; }

  std::string description() const;

  SampleBuffer(const SampleBuffer&) = default;

 private:
  SampleBuffer() = default;
  FormatDescriptionRef format_;
  SampleTiming timing_;
  PixelBufferRef image_;
  BlockBuffer data_;
  size_t numSamples_ = 1;
  std::vector<size_t> sizes_;
  std::vector<SampleAttachments> attachments_ = std::vector<SampleAttachments>(1);  // grown on demand
};

}  // namespace platform
