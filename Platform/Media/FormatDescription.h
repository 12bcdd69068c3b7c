#pragma once
// What a stream of samples is: video (a codec or a raw pixel format, its size,
// its sample-description atoms such as "avcC" and "hvcC", its colour tags) or
// audio (an AudioFormat and its magic cookie, e.g. an AAC AudioSpecificConfig).
// Immutable and shared; two descriptions are equal when every part is equal.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/ColorAttachments.h"
#include "Platform/Media/PixelFormat.h"

namespace platform {

class PixelBuffer;

enum class MediaType : FourCC { video = fourCC("vide"), audio = fourCC("soun") };

struct VideoDimensions {
  int32_t width = 0;
  int32_t height = 0;
  friend bool operator==(const VideoDimensions&, const VideoDimensions&) = default;
};

struct VideoExtensions {
  // Sample-description atoms by name ("avcC", "hvcC"), as raw bytes.
  std::map<std::string, std::vector<uint8_t>> sampleDescriptionAtoms;
  ColorAttachments color;
  std::optional<bool> fullRangeVideo;
  friend bool operator==(const VideoExtensions&, const VideoExtensions&) = default;
};

class FormatDescription;
using FormatDescriptionRef = std::shared_ptr<const FormatDescription>;

class FormatDescription {
 public:
  // nullptr for a negative size, or a raw pixel format without a positive
  // size; encoded video may leave its size 0 x 0 (unknown, in the stream).
  static FormatDescriptionRef makeVideo(FourCC codecType, int32_t width, int32_t height,
                                        VideoExtensions extensions = {});
  // The description of a raw picture: its pixel format, size, colour tags (when they propagate) and range.
  static FormatDescriptionRef makeForImageBuffer(const PixelBuffer& buffer);
  // nullptr for an invalid format.
  static FormatDescriptionRef makeAudio(const AudioFormat& format, std::vector<uint8_t> magicCookie = {});

  MediaType mediaType() const { return mediaType_; }
  // The codec ('avc1', 'hvc1'), the pixel format, or the audio format id.
  FourCC mediaSubType() const { return subType_; }

  // Video.
  VideoDimensions dimensions() const { return dimensions_; }
  const VideoExtensions& extensions() const { return extensions_; }
  // The named atom's bytes, or nullptr.
  const std::vector<uint8_t>* sampleDescriptionAtom(const std::string& name) const;
  // "avcC" for 'avc1', "hvcC" for 'hvc1'; nullptr for other subtypes or when absent.
  const std::vector<uint8_t>* decoderConfigurationData() const;
  // Video whose subtype is not a raw pixel format.
  bool isCompressed() const;

  // Audio: the stream format; nullptr for video.
  const AudioFormat* audioFormat() const { return mediaType_ == MediaType::audio ? &audio_ : nullptr; }
  const AudioStreamBasicDescription* streamBasicDescription() const {
    return mediaType_ == MediaType::audio ? &audio_.streamDescription() : nullptr;
  }
  const std::vector<uint8_t>& magicCookie() const { return cookie_; }

  std::string description() const;

  friend bool operator==(const FormatDescription& a, const FormatDescription& b);

  FormatDescription(MediaType type, FourCC subType) : mediaType_(type), subType_(subType) {}

 private:
  MediaType mediaType_;
  FourCC subType_;
  VideoDimensions dimensions_;
  VideoExtensions extensions_;
  AudioFormat audio_;
  std::vector<uint8_t> cookie_;
};

// Equality through pointers: both absent, or both present and equal.
bool sameFormat(const FormatDescriptionRef& a, const FormatDescriptionRef& b);

}  // namespace platform
