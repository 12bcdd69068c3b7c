#include "Platform/Media/SampleBuffer.h"

#include <numeric>

namespace platform {

SampleBufferRef SampleBuffer::makeImage(PixelBufferRef image, const SampleTiming& timing,
                                        FormatDescriptionRef format) {
  if (!image) return nullptr;
  if (!format) format = FormatDescription::makeForImageBuffer(*image);
  if (!format || format->mediaType() != MediaType::video || format->isCompressed()) return nullptr;
  SampleBufferRef s(new SampleBuffer());
  s->format_ = std::move(format);
  s->timing_ = timing;
  s->image_ = std::move(image);
  s->numSamples_ = 1;
  return s;
}

SampleBufferRef SampleBuffer::makeData(BlockBuffer data, FormatDescriptionRef format, const SampleTiming& timing,
                                       size_t numSamples, std::vector<size_t> sampleSizes) {
  if (!format) return nullptr;
  if (sampleSizes.size() > 1 && sampleSizes.size() != numSamples) return nullptr;
  // Sizes must fit in the block (checked without overflow).
  size_t total = 0;
  if (sampleSizes.size() == 1) {
    if (numSamples > 0 && sampleSizes[0] > data.size() / numSamples) return nullptr;
    total = sampleSizes[0] * numSamples;
  } else {
    for (size_t n : sampleSizes) {
      if (n > data.size() - total) return nullptr;
      total += n;
    }
  }
  SampleBufferRef s(new SampleBuffer());
  s->format_ = std::move(format);
  s->timing_ = timing;
  s->data_ = std::move(data);
  s->numSamples_ = numSamples;
  s->sizes_ = std::move(sampleSizes);
  return s;
}

SampleBufferRef SampleBuffer::withTiming(const SampleTiming& timing) const {
  SampleBufferRef s(new SampleBuffer(*this));
  s->timing_ = timing;
  return s;
}

SampleAttachments SampleBuffer::attachments(size_t index) const {
  return index < attachments_.size() ? attachments_[index] : SampleAttachments{};
}

SampleAttachments* SampleBuffer::mutableAttachments(size_t index) {
  if (index >= std::max<size_t>(numSamples_, 1)) return nullptr;
  if (index >= attachments_.size()) attachments_.resize(index + 1);
  return &attachments_[index];
}

size_t SampleBuffer::sampleSize(size_t index) const {
  if (image_ || index >= numSamples_) return 0;
  if (sizes_.empty()) return numSamples_ == 1 ? data_.size() : 0;
  return sizes_.size() == 1 ? sizes_[0] : sizes_[index];
}

size_t SampleBuffer::totalSampleSize() const {
  if (image_) return 0;
  if (sizes_.empty()) return data_.size();
  if (sizes_.size() == 1) return sizes_[0] * numSamples_;
  return std::accumulate(sizes_.begin(), sizes_.end(), size_t{0});
}

BlockBuffer SampleBuffer::sampleData(size_t index) const {
  if (image_ || index >= numSamples_) return {};
  if (sizes_.empty()) return numSamples_ == 1 ? data_ : BlockBuffer{};
  size_t offset = 0;
  if (sizes_.size() == 1) {
    offset = sizes_[0] * index;
  } else {
    for (size_t i = 0; i < index; ++i) offset += sizes_[i];
  }
  return data_.slice(offset, sampleSize(index));
}

std::string SampleBuffer::description() const {
  std::string s = "<sample buffer pts " + timing_.presentationTime.description() + " dts " +
                  timing_.decodeTime.description() + " duration " + timing_.duration.description() + " " +
                  format_->description();
  if (image_) {
    s += " image";
  } else {
    s += " " + std::to_string(numSamples_) + " samples, " + std::to_string(data_.size()) + " bytes";
  }
  if (!isSync()) s += " notSync";
  return s + ">";
}

}  // namespace platform
