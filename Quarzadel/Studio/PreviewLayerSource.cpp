#include "Quarzadel/Studio/PreviewLayerSource.h"

namespace quarzadel {

bool PreviewLayerSource::draw() const {
  const auto view = view_.lock();
  if (!view) return false;
  const auto frame = layer_->displayedFrame();
  view->setMirrored(layer_->isMirrored());
  return view->show(frame ? frame->imageBuffer() : nullptr);
}

}  // namespace quarzadel
