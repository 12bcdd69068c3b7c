#include "Medley/Sources/Screen/ImageScreenObject.h"

#include "Medley/Sources/Screen/ScreenRenderer.h"
#include "Medley/Sources/Screen/VideoScreenObject.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

void ImageScreenObject::setImage(platform::PixelBufferRef image) {
  if (image != image_) invalidateLayout();
  image_ = std::move(image);
}

void ImageScreenObject::setSource(const std::optional<std::string>& source) {
  source_ = source;
  const DataImageSource data(source.value_or(""));
  setImage(data.makeImage());
}

ScreenObject::Elements ImageScreenObject::elements() const { return {{"source", source_.value_or("")}}; }

void ImageScreenObject::setElements(const Elements& elements) {
  const auto it = elements.find("source");
  try {
    setSource(it == elements.end() ? std::nullopt : std::optional<std::string>(it->second));
  } catch (const ImageSourceError& e) {
    MEDLEY_LOG_ERROR(e.what());
  }
}

ScreenRect ImageScreenObject::makeBounds(const ScreenSize& size) {
  if (image_ && size.width == 0 && size.height == 0)
    return ScreenObject::makeBounds({static_cast<double>(image_->width()), static_cast<double>(image_->height())});
  return ScreenObject::makeBounds(size);
}

std::optional<ScreenImage> ImageScreenObject::makeImage(ScreenRenderer& renderer) {
  if (!image_) return std::nullopt;
  // A zero component of the size means the layout chose it: scale to the bounds there.
  const double w = size().width != 0 ? size().width : bounds().width;
  const double h = size().height != 0 ? size().height : bounds().height;
  // What reaches outside the frame is clipped where it is drawn.
  const auto picture = composableImage(image_, renderer.dynamicRangeMode());
  if (!picture) return std::nullopt;
  return picture->scaled(w / image_->width(), h / image_->height());
}

}  // namespace medley
