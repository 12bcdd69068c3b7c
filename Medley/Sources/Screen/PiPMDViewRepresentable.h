#pragma once
// A small value that owns a preview view (which shows frames through its sample-buffer layer) for
// the Studio's window: making the view attaches it to its source, updating
// pushes the gravity, track() picks the mixer track the view takes. Copies
// share the view. Used on the view's queue, except track().
#include <memory>
#include <optional>

#include "Medley/Sources/Screen/PiPMDView.h"

namespace medley {

class PiPMDViewRepresentable {
 public:
  // What the view shows: it decides, when given the view, how frames reach it.
  class PreviewSource {
   public:
    virtual ~PreviewSource() = default;
    virtual void attachPreview(const std::shared_ptr<PiPMDView>& view) = 0;
  };

  // Makes the view on `surface`, set up at once.
  PiPMDViewRepresentable(std::shared_ptr<PreviewSource> previewSource, std::shared_ptr<PreviewSurface> surface,
                         LayerVideoGravity videoGravity = layerVideoGravity::resizeAspect,
                         std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  const std::shared_ptr<PreviewSource>& previewSource() const { return previewSource_; }
  const LayerVideoGravity& videoGravity() const { return videoGravity_; }
  // Takes effect at updateView().
  void setVideoGravity(const LayerVideoGravity& gravity) { videoGravity_ = gravity; }
  const std::shared_ptr<PiPMDView>& view() const { return view_; }

  // Attaches the view to the source and returns it.
  const std::shared_ptr<PiPMDView>& makeView() const;
  // Gives the view this value's gravity.
  void updateView() const;
  // Sets the view's video track on its queue, later; returns a copy at once.
  PiPMDViewRepresentable track(std::optional<uint8_t> id) const;

 private:
  std::shared_ptr<PreviewSource> previewSource_;
  LayerVideoGravity videoGravity_;
  std::shared_ptr<PiPMDView> view_;
};

}  // namespace medley
