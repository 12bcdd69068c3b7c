#pragma once
// A small value that owns a preview view for the Studio's window: making the
// view attaches it to its source, updating pushes the gravity, track() picks
// the mixer track the view takes. Copies share the view. Used on the view's
// queue, except track(). `View` is one of the two preview views (MTMDView,
// which draws the newest frame itself, or PiPMDView, which shows frames
// through its sample-buffer layer); both are made set up by their factory.
#include <memory>
#include <optional>
#include <utility>

#include "Medley/Sources/Screen/PreviewSurface.h"
#include "Medley/Sources/Extension/VideoGravityExtensions.h"
#include "Platform/Dispatch/Runtime.h"

namespace medley {

template <class View>
class PreviewViewRepresentable {
 public:
  // What the view shows: it decides, when given the view, how frames reach it.
  class PreviewSource {
   public:
    virtual ~PreviewSource() = default;
    virtual void attachPreview(const std::shared_ptr<View>& view) = 0;
  };

  // Makes the view on `surface`, set up at once.
  PreviewViewRepresentable(std::shared_ptr<PreviewSource> previewSource, std::shared_ptr<PreviewSurface> surface,
                           LayerVideoGravity videoGravity = layerVideoGravity::resizeAspect,
                           std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared())
      : previewSource_(std::move(previewSource)),
        videoGravity_(std::move(videoGravity)),
        view_(View::make(std::move(surface), std::move(runtime))) {}

  const std::shared_ptr<PreviewSource>& previewSource() const { return previewSource_; }
  const LayerVideoGravity& videoGravity() const { return videoGravity_; }
  // Takes effect at updateView().
  void setVideoGravity(const LayerVideoGravity& gravity) { videoGravity_ = gravity; }
  const std::shared_ptr<View>& view() const { return view_; }

  // Attaches the view to the source and returns it.
  const std::shared_ptr<View>& makeView() const {
    if (previewSource_) previewSource_->attachPreview(view_);
    return view_;
  }

  // Gives the view this value's gravity.
  void updateView() const { view_->setVideoGravity(videoGravity_); }

  // Sets the view's video track on its queue, later; returns a copy at once.
  PreviewViewRepresentable track(std::optional<uint8_t> id) const {
    std::weak_ptr<View> weak = view_;
    view_->queue()->async([weak, id] {
      if (auto view = weak.lock()) view->setVideoTrackId(id);
    });
    return *this;
  }

 private:
  std::shared_ptr<PreviewSource> previewSource_;
  LayerVideoGravity videoGravity_;
  std::shared_ptr<View> view_;
};

}  // namespace medley
