#include "Quarzadel/Studio/PreviewWindow.h"

namespace quarzadel {

PreviewWindow::PreviewWindow(std::shared_ptr<PreviewLayer> layer, std::shared_ptr<medley::PreviewSurface> surface,
                             std::shared_ptr<platform::Runtime> runtime)
    : layer_(std::move(layer)),
      surface_(std::move(surface)),
      source_(std::make_shared<PreviewLayerSource>(layer_)),
      representable_(source_, surface_, medley::layerVideoGravity::resizeAspect, std::move(runtime)) {
  representable_.makeView();
  representable_.updateView();
}

std::unique_ptr<PreviewWindow> PreviewWindow::make(std::shared_ptr<PreviewLayer> layer, int width, int height,
                                                   const std::string& title,
                                                   std::shared_ptr<platform::Runtime> runtime) {
  return std::make_unique<PreviewWindow>(std::move(layer), medley::PreviewSurface::make(width, height, title),
                                         std::move(runtime));
}

bool PreviewWindow::draw() {
  const bool shown = source_->draw();
  if (!shown) layer_->reportFailure();
  return shown;
}

}  // namespace quarzadel
