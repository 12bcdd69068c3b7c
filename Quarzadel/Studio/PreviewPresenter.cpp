#include "Quarzadel/Studio/PreviewPresenter.h"

namespace quarzadel {

std::shared_ptr<PreviewPresenter> PreviewPresenter::open(const std::shared_ptr<PreviewSink>& sink,
                                                         std::shared_ptr<platform::Runtime> runtime,
                                                         std::function<void()> onClosed) {
  auto window = PreviewWindow::make(sink->layer(), kWidth, kHeight);
  if (!window->surface()->isWindow()) return nullptr;
  return start(std::move(window), std::move(runtime), std::move(onClosed));
}

std::shared_ptr<PreviewPresenter> PreviewPresenter::start(std::unique_ptr<PreviewWindow> window,
                                                          std::shared_ptr<platform::Runtime> runtime,
                                                          std::function<void()> onClosed) {
  auto presenter = std::make_shared<PreviewPresenter>(std::move(window), std::move(runtime), std::move(onClosed));
  // Armed once stored: the first tick may run on the queue at once and cancels it when the window is gone.
  presenter->timer_ = std::make_unique<platform::RepeatingTimer>(
      presenter->queue_, 0, kTick, platform::weakHandler(presenter, [](PreviewPresenter& p) { p.tick(); }));
  presenter->timer_->resume();
  return presenter;
}

PreviewPresenter::PreviewPresenter(std::unique_ptr<PreviewWindow> window, std::shared_ptr<platform::Runtime> runtime,
                                   std::function<void()> onClosed)
    : window_(std::move(window)),
      queue_(platform::SerialQueue::make("preview", std::move(runtime), platform::QualityOfService::userInteractive)),
      onClosed_(std::move(onClosed)) {}

PreviewPresenter::~PreviewPresenter() {
  if (timer_) timer_->cancel();
}

void PreviewPresenter::tick() {
  if (closed_) return;
  const auto& surface = window_->surface();
  const bool asked = surface->handleEvents();
  if (surface->isClosed()) {
    closed_ = true;
    timer_->cancel();
    if (onClosed_) onClosed_();
    return;
  }
  const auto& layer = window_->layer();
  auto frame = layer->displayedFrame();
  const bool mirrored = layer->isMirrored();
  if (drawnOnce_ && !asked && frame == shownFrame_ && mirrored == shownMirrored_) return;
  // A drawing that failed is tried again with the next frame, after the sink's flush.
  window_->draw();
  ++draws_;
  drawnOnce_ = true;
  shownFrame_ = std::move(frame);
  shownMirrored_ = mirrored;
}

}  // namespace quarzadel
