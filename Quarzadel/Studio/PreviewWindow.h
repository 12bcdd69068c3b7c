#pragma once
// The Studio's preview window: draws what the preview sink's layer shows
// (aspect-fitted over black, mirrored as the layer is) through the media
// library's preview drawing, into a window on the display or offscreen. A
// drawing the surface cannot show marks the layer's renderer failed, so the
// sink flushes it before the next frame.
#include <memory>
#include <string>

#include "Medley/Sources/Screen/PreviewRenderer.h"
#include "Medley/Sources/Screen/PreviewSurface.h"
#include "Quarzadel/Program/PreviewLayer.h"

namespace quarzadel {

class PreviewWindow {
 public:
  static constexpr const char* kTitle = "Quarzadel preview";

  PreviewWindow(std::shared_ptr<PreviewLayer> layer, std::shared_ptr<medley::PreviewSurface> surface);
  // A window of that size on $DISPLAY, or offscreen without one.
  static std::unique_ptr<PreviewWindow> make(std::shared_ptr<PreviewLayer> layer, int width, int height,
                                             const std::string& title = kTitle);

  // Draws the layer's current frame (black without one); false, with the
  // layer's renderer marked failed, when the surface could not show it. Called
  // on one thread at a time.
  bool draw();
  const std::shared_ptr<medley::PreviewSurface>& surface() const { return surface_; }
  const std::shared_ptr<PreviewLayer>& layer() const { return layer_; }

 private:
  std::shared_ptr<PreviewLayer> layer_;
  std::shared_ptr<medley::PreviewSurface> surface_;
  medley::PreviewRenderer renderer_;
};

}  // namespace quarzadel
