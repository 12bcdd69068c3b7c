#include "Medley/Sources/Screen/MTMDViewRepresentable.h"

namespace medley {

MTMDViewRepresentable::MTMDViewRepresentable(std::shared_ptr<PreviewSource> previewSource,
                                             std::shared_ptr<PreviewSurface> surface, LayerVideoGravity videoGravity,
                                             std::shared_ptr<platform::Runtime> runtime)
    : previewSource_(std::move(previewSource)),
      videoGravity_(std::move(videoGravity)),
      view_(MTMDView::make(std::move(surface), std::move(runtime))) {}

const std::shared_ptr<MTMDView>& MTMDViewRepresentable::makeView() const {
  if (previewSource_) previewSource_->attachPreview(view_);
  return view_;
}

void MTMDViewRepresentable::updateView() const { view_->setVideoGravity(videoGravity_); }

MTMDViewRepresentable MTMDViewRepresentable::track(std::optional<uint8_t> id) const {
  std::weak_ptr<MTMDView> weak = view_;
  view_->queue()->async([weak, id] {
    if (auto view = weak.lock()) view->setVideoTrackId(id);
  });
  return *this;
}

}  // namespace medley
