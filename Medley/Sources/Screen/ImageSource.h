#pragma once
// Where a still picture comes from: a "data" URL carrying the picture's file
// bytes in Base64. A malformed or oversized URL is refused before any byte is
// decoded; a picture is either decoded whole or refused.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Media/PixelBuffer.h"

namespace medley {

class ImageSourceError : public std::runtime_error {
 public:
  enum class Kind { unsupported, invalidDataURL, invalidBase64, imageDecodingFailed, tooLarge };
  explicit ImageSourceError(Kind kind);
  Kind kind;
};

class ImageSource {
 public:
  virtual ~ImageSource() = default;
  virtual const std::string& url() const = 0;
  // The picture as BGRA with straight alpha; throws ImageSourceError.
  virtual platform::PixelBufferRef makeImage() const = 0;
};

class DataImageSource final : public ImageSource {
 public:
  // Longest URL text accepted (about 48 MiB of picture bytes).
  static constexpr size_t kMaximumURLLength = 64u << 20;

  // Throws unsupported unless the text parses as a URL whose scheme is exactly "data".
  explicit DataImageSource(std::string url);
  const std::string& url() const override { return url_; }
  platform::PixelBufferRef makeImage() const override;

 private:
  std::string url_;
};

// Strict standard Base64 (padding required, nothing skipped); false on any other text.
bool decodeBase64(std::string_view text, std::vector<uint8_t>& out);
std::string encodeBase64(const uint8_t* data, size_t size);

// A whole PNG or JPEG file to BGRA with straight alpha; throws imageDecodingFailed.
platform::PixelBufferRef decodePicture(const std::vector<uint8_t>& bytes);

}  // namespace medley
