#include "Quarzadel/Studio/PreviewWindow.h"

namespace quarzadel {

PreviewWindow::PreviewWindow(std::shared_ptr<PreviewLayer> layer, std::shared_ptr<medley::PreviewSurface> surface)
    : layer_(std::move(layer)), surface_(std::move(surface)) {}

std::unique_ptr<PreviewWindow> PreviewWindow::make(std::shared_ptr<PreviewLayer> layer, int width, int height,
                                                   const std::string& title) {
  return std::make_unique<PreviewWindow>(std::move(layer), medley::PreviewSurface::make(width, height, title));
}

bool PreviewWindow::draw() {
  const auto frame = layer_->displayedFrame();
  const bool shown = renderer_.present(*surface_, frame ? frame->imageBuffer() : nullptr,
                                       medley::layerVideoGravity::resizeAspect, layer_->isMirrored());
  if (!shown) layer_->reportFailure();
  return shown;
}

}  // namespace quarzadel
