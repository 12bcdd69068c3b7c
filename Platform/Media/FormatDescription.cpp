#include "Platform/Media/FormatDescription.h"

#include "Platform/Media/PixelBuffer.h"

namespace platform {

FormatDescriptionRef FormatDescription::makeVideo(FourCC codecType, int32_t width, int32_t height,
                                                  VideoExtensions extensions) {
  if (width < 0 || height < 0) return nullptr;
  if ((width == 0 || height == 0) && isPixelFormatCode(codecType)) return nullptr;
  auto d = std::make_shared<FormatDescription>(MediaType::video, codecType);
  d->dimensions_ = {width, height};
  d->extensions_ = std::move(extensions);
  return d;
}

FormatDescriptionRef FormatDescription::makeForImageBuffer(const PixelBuffer& buffer) {
  VideoExtensions ext;
  ext.color = buffer.colorAttachments().propagated();
  ext.color.mode = AttachmentMode::shouldPropagate;
  const PixelFormatLayout layout = layoutOf(buffer.format());
  if (layout.isYCbCr) ext.fullRangeVideo = layout.isFullRange;
  return makeVideo(buffer.formatType(), buffer.width(), buffer.height(), std::move(ext));
}

FormatDescriptionRef FormatDescription::makeAudio(const AudioFormat& format, std::vector<uint8_t> magicCookie) {
  if (!format.isValid()) return nullptr;
  auto d = std::make_shared<FormatDescription>(MediaType::audio, format.formatID());
  d->audio_ = format;
  d->cookie_ = std::move(magicCookie);
  return d;
}

const std::vector<uint8_t>* FormatDescription::sampleDescriptionAtom(const std::string& name) const {
  auto it = extensions_.sampleDescriptionAtoms.find(name);
  return it == extensions_.sampleDescriptionAtoms.end() ? nullptr : &it->second;
}

const std::vector<uint8_t>* FormatDescription::decoderConfigurationData() const {
  if (mediaType_ != MediaType::video) return nullptr;
  if (subType_ == codec::h264) return sampleDescriptionAtom("avcC");
  if (subType_ == codec::hevc) return sampleDescriptionAtom("hvcC");
  return nullptr;
}

bool FormatDescription::isCompressed() const {
  return mediaType_ == MediaType::video && !isPixelFormatCode(subType_);
}

std::string FormatDescription::description() const {
  std::string s;
  if (mediaType_ == MediaType::video) {
    s = "<video '" + fourCCString(subType_) + "' " + std::to_string(dimensions_.width) + "x" +
        std::to_string(dimensions_.height);
    for (const auto& [name, bytes] : extensions_.sampleDescriptionAtoms)
      s += " " + name + "(" + std::to_string(bytes.size()) + " bytes)";
    if (!extensions_.color.isEmpty()) s += " " + extensions_.color.description();
    if (extensions_.fullRangeVideo) s += *extensions_.fullRangeVideo ? " full range" : " video range";
    s += ">";
  } else {
    s = "<audio " + audio_.description();
    if (!cookie_.empty()) s += " cookie(" + std::to_string(cookie_.size()) + " bytes)";
    s += ">";
  }
  return s;
}

bool operator==(const FormatDescription& a, const FormatDescription& b) {
  return a.mediaType_ == b.mediaType_ && a.subType_ == b.subType_ && a.dimensions_ == b.dimensions_ &&
         a.extensions_ == b.extensions_ && a.audio_ == b.audio_ && a.cookie_ == b.cookie_;
}

bool sameFormat(const FormatDescriptionRef& a, const FormatDescriptionRef& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return *a == *b;
}

}  // namespace platform
