#include "Medley/Sources/Screen/PiPMDView.h"

#include "Platform/Concurrency/Actor.h"

namespace medley {

ScreenColor PiPMDView::defaultBackgroundColor = ScreenColor::black();

PiPMDView::PiPMDView(std::shared_ptr<PreviewSurface> surface, std::shared_ptr<platform::Runtime> runtime)
    : surface_(std::move(surface)), main_(platform::mainActor(runtime)) {}

std::shared_ptr<PiPMDView> PiPMDView::make(std::shared_ptr<PreviewSurface> surface,
                                           std::shared_ptr<platform::Runtime> runtime) {
  auto view = std::make_shared<PiPMDView>(std::move(surface), std::move(runtime));
  view->awakeFromNib();
  return view;
}

void PiPMDView::awakeFromNib() {
  std::weak_ptr<PiPMDView> weak = weak_from_this();
  main_->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    auto layer = std::make_shared<SampleBufferDisplayLayer>(self->surface_);
    layer->setBackgroundColor(defaultBackgroundColor);
    layer->setVideoGravity(self->videoGravity_);
    self->layer_ = std::move(layer);
  });
}

void PiPMDView::setVideoGravity(const LayerVideoGravity& gravity) {
  videoGravity_ = gravity;
  if (layer_) layer_->setVideoGravity(gravity);
}

platform::Async<std::optional<uint8_t>> PiPMDView::videoTrackId() {
  co_await platform::hop(main_);
  co_return tracks_.videoTrackId;
}

platform::Async<std::optional<uint8_t>> PiPMDView::audioTrackId() {
  co_await platform::hop(main_);
  co_return tracks_.audioTrackId;
}

platform::Async<void> PiPMDView::selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) {
  co_await platform::hop(main_);
  if (mediaType == platform::MediaType::video) tracks_.videoTrackId = id;
}

void PiPMDView::mixer(MediaMixer&, const platform::SampleBufferRef& sampleBuffer) { handOff(sampleBuffer); }
void PiPMDView::stream(StreamConvertible&, const platform::SampleBufferRef& sampleBuffer) { handOff(sampleBuffer); }

void PiPMDView::handOff(const platform::SampleBufferRef& sampleBuffer) {
  std::weak_ptr<PiPMDView> weak = weak_from_this();
  main_->async([weak, sampleBuffer] {
    auto self = weak.lock();
    if (self && self->layer_) self->layer_->enqueue(sampleBuffer);
  });
}

}  // namespace medley
