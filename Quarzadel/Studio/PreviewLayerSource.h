#pragma once
// What the Studio's preview view shows: the preview sink's layer. The view
// attached to it draws the layer's current frame, mirrored as the layer is,
// whenever the window asks (on the window's drawing thread).
#include <memory>

#include "Medley/Sources/Screen/MTMDViewRepresentable.h"
#include "Quarzadel/Program/PreviewLayer.h"

namespace quarzadel {

class PreviewLayerSource final : public medley::MTMDViewRepresentable::PreviewSource {
 public:
  explicit PreviewLayerSource(std::shared_ptr<PreviewLayer> layer) : layer_(std::move(layer)) {}

  void attachPreview(const std::shared_ptr<medley::MTMDView>& view) override { view_ = view; }
  // Draws the layer's frame (black without one) in the attached view; false
  // without a view or when its surface could not show it.
  bool draw() const;
  const std::shared_ptr<PreviewLayer>& layer() const { return layer_; }

 private:
  std::shared_ptr<PreviewLayer> layer_;
  std::weak_ptr<medley::MTMDView> view_;
};

}  // namespace quarzadel
