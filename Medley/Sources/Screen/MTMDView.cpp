#include "Medley/Sources/Screen/MTMDView.h"

#include <algorithm>

#include "Platform/Concurrency/Actor.h"

namespace medley {

MTMDView::MTMDView(std::shared_ptr<PreviewSurface> surface, std::shared_ptr<platform::Runtime> runtime)
    : surface_(std::move(surface)), main_(platform::mainActor(runtime)) {}

std::shared_ptr<MTMDView> MTMDView::make(std::shared_ptr<PreviewSurface> surface,
                                         std::shared_ptr<platform::Runtime> runtime) {
  auto view = std::make_shared<MTMDView>(std::move(surface), std::move(runtime));
  view->awakeFromNib();
  return view;
}

void MTMDView::awakeFromNib() {
  std::weak_ptr<MTMDView> weak = weak_from_this();
  main_->async([weak] {
    if (auto self = weak.lock()) self->redrawsOnRequest_ = true;
  });
}

bool MTMDView::registerVideoEffect(const std::shared_ptr<VideoEffect>& effect) {
  if (!effect || std::find(effects_.begin(), effects_.end(), effect) != effects_.end()) return false;
  effects_.push_back(effect);
  return true;
}

bool MTMDView::unregisterVideoEffect(const std::shared_ptr<VideoEffect>& effect) {
  const auto it = std::find(effects_.begin(), effects_.end(), effect);
  if (it == effects_.end()) return false;
  effects_.erase(it);
  return true;
}

platform::Async<std::optional<uint8_t>> MTMDView::videoTrackId() {
  co_await platform::hop(main_);
  co_return tracks_.videoTrackId;
}

platform::Async<std::optional<uint8_t>> MTMDView::audioTrackId() {
  co_await platform::hop(main_);
  co_return tracks_.audioTrackId;
}

platform::Async<void> MTMDView::selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) {
  co_await platform::hop(main_);
  if (mediaType == platform::MediaType::video) tracks_.videoTrackId = id;
}

void MTMDView::mixer(MediaMixer&, const platform::SampleBufferRef& sampleBuffer) { handOff(sampleBuffer); }
void MTMDView::stream(StreamConvertible&, const platform::SampleBufferRef& sampleBuffer) { handOff(sampleBuffer); }

void MTMDView::handOff(const platform::SampleBufferRef& sampleBuffer) {
  std::weak_ptr<MTMDView> weak = weak_from_this();
  main_->async([weak, sampleBuffer] {
    auto self = weak.lock();
    if (!self) return;
    self->displayImage_ = sampleBuffer ? sampleBuffer->imageBuffer() : nullptr;
    if (self->displayImage_ && !self->displayImage_->isPlanar()) self->displayImage_ = nullptr;
    if (self->redrawsOnRequest_) self->setNeedsDisplay();
  });
}

void MTMDView::setNeedsDisplay() {
  // A burst of frames between two redraws shows only the last one.
  if (drawPending_) return;
  drawPending_ = true;
  std::weak_ptr<MTMDView> weak = weak_from_this();
  main_->async([weak] {
    if (auto self = weak.lock()) {
      self->drawPending_ = false;
      self->draw();
    }
  });
}

bool MTMDView::draw() { return renderer_.present(*surface_, displayImage_, videoGravity_, isMirrored_, effects_); }

bool MTMDView::show(const platform::PixelBufferRef& picture) {
  displayImage_ = picture && picture->isPlanar() ? picture : nullptr;
  return draw();
}

}  // namespace medley
