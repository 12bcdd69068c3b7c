#pragma once
// Shows a still picture whose source, a "data" URL, travels in elements()
// under "source". Without a size of its own it takes the picture's.
#include <optional>
#include <string>

#include "Medley/Sources/Screen/ImageSource.h"
#include "Medley/Sources/Screen/ScreenObject.h"

namespace medley {

class ImageScreenObject final : public ScreenObject {
 public:
  using ScreenObject::ScreenObject;

  // BGRA with straight alpha; a different picture invalidates the layout.
  const platform::PixelBufferRef& image() const { return image_; }
  void setImage(platform::PixelBufferRef image);
  const std::optional<std::string>& source() const { return source_; }
  // Keeps the text whatever happens; on failure the picture stays and ImageSourceError is thrown.
  void setSource(const std::optional<std::string>& source);

  // {"source": the source text, or empty}; a failing source is logged.
  Elements elements() const override;
  void setElements(const Elements& elements) override;

  ScreenRect makeBounds(const ScreenSize& size) override;
  std::optional<ScreenImage> makeImage(ScreenRenderer& renderer) override;

 private:
  platform::PixelBufferRef image_;
  std::optional<std::string> source_;
};

}  // namespace medley
