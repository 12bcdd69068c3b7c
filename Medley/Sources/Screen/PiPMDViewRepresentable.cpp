#include "Medley/Sources/Screen/PiPMDViewRepresentable.h"

namespace medley {

PiPMDViewRepresentable::PiPMDViewRepresentable(std::shared_ptr<PreviewSource> previewSource,
                                               std::shared_ptr<PreviewSurface> surface, LayerVideoGravity videoGravity,
                                               std::shared_ptr<platform::Runtime> runtime)
    : previewSource_(std::move(previewSource)),
      videoGravity_(std::move(videoGravity)),
      view_(PiPMDView::make(std::move(surface), std::move(runtime))) {}

const std::shared_ptr<PiPMDView>& PiPMDViewRepresentable::makeView() const {
  if (previewSource_) previewSource_->attachPreview(view_);
  return view_;
}

void PiPMDViewRepresentable::updateView() const { view_->setVideoGravity(videoGravity_); }

PiPMDViewRepresentable PiPMDViewRepresentable::track(std::optional<uint8_t> id) const {
  std::weak_ptr<PiPMDView> weak = view_;
  view_->queue()->async([weak, id] {
    if (auto view = weak.lock()) view->setVideoTrackId(id);
  });
  return *this;
}

}  // namespace medley
