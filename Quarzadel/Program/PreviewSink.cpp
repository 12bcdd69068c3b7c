#include "Quarzadel/Program/PreviewSink.h"

namespace quarzadel {

std::shared_ptr<PreviewSink> PreviewSink::make(std::shared_ptr<platform::Runtime> runtime,
                                               std::shared_ptr<PreviewLayer> layer) {
  return std::make_shared<PreviewSink>(std::move(runtime), std::move(layer));
}

PreviewSink::PreviewSink(std::shared_ptr<platform::Runtime> runtime, std::shared_ptr<PreviewLayer> layer)
    : main_(runtime->mainQueue()), layer_(std::move(layer)) {}

void PreviewSink::enqueue(const platform::SampleBufferRef& sample) {
  if (!sample) return;
  if (sample->imageBuffer()) {
    std::lock_guard lock(lock_);
    latestFrame_ = sample->imageBuffer();
  }
  // Shown at once rather than at its presentation time.
  if (auto* attachments = sample->mutableAttachments(0)) attachments->displayImmediately = true;
  if (layer_->status() == PreviewLayer::Status::failed) layer_->flush();
  layer_->enqueue(sample);
}

void PreviewSink::setMirrored(bool mirrored) {
  main_->async([self = shared_from_this(), mirrored] {
    if (mirrored == self->mirrored_) return;
    self->mirrored_ = mirrored;
    self->layer_->setMirroredTransform(mirrored);
  });
}

platform::PixelBufferRef PreviewSink::latestFrame() const {
  std::lock_guard lock(lock_);
  return latestFrame_;
}

void PreviewHostView::layout(double width, double height) {
  const auto& layer = sink_->layer();
  layer->setBounds({0, 0, width, height});
  layer->setPosition(width / 2, height / 2);
}

}  // namespace quarzadel
