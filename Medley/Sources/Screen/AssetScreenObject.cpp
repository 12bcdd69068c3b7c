#include "Medley/Sources/Screen/AssetScreenObject.h"

#include "Medley/Sources/Screen/ScreenRenderer.h"
#include "Medley/Sources/Screen/VideoScreenObject.h"

namespace medley {

AssetScreenObject::AssetScreenObject(std::optional<std::string> id, std::shared_ptr<platform::Clock> clock)
    : ScreenObject(std::move(id)), clock_(std::move(clock)) {}

void AssetScreenObject::setVideoGravity(const LayerVideoGravity& gravity) {
  if (gravity != videoGravity_) invalidateLayout();
  videoGravity_ = gravity;
}

void AssetScreenObject::setReader(std::shared_ptr<AssetReader> reader) {
  if (reader_ && reader_ != reader && reader_->status() == AssetReader::Status::reading) reader_->cancelReading();
  reader_ = std::move(reader);
}

void AssetScreenObject::setSampleBuffer(platform::SampleBufferRef sampleBuffer) {
  const auto old = std::move(sampleBuffer_);
  sampleBuffer_ = std::move(sampleBuffer);
  if (sampleBuffer_ && old != sampleBuffer_) invalidateLayout();
  if (old && !sampleBuffer_) stopReading();  // the track has ended
}

platform::SampleBufferRef AssetScreenObject::nextSampleBuffer() {
  // Only the current reader is asked, and only while it reads.
  if (!videoTrackOutput_ || videoTrackOutput_ != reader_ || !isReading()) return nullptr;
  return videoTrackOutput_->copyNextSampleBuffer();
}

void AssetScreenObject::startReading(const std::string& path) {
  auto reader = AssetReader::make(path);
  setReader(reader);
  if (reader->hasVideoTrack()) videoTrackOutput_ = reader;
  startedAt_ = platform::MediaTime::fromNanos(clock_->now());
  reader->startReading();
  setSampleBuffer(nextSampleBuffer());
}

bool AssetScreenObject::isReading() const { return reader_ && reader_->status() == AssetReader::Status::reading; }

void AssetScreenObject::stopReading() {
  setReader(nullptr);
  const auto old = std::move(sampleBuffer_);
  sampleBuffer_ = nullptr;
  videoTrackOutput_.reset();
}

ScreenRect AssetScreenObject::makeBounds(const ScreenSize& size) {
  if (!parent() || !sampleBuffer_ || !sampleBuffer_->formatDescription() ||
      videoGravity_ != layerVideoGravity::resizeAspect)
    return ScreenObject::makeBounds(size);
  const auto dims = sampleBuffer_->formatDescription()->dimensions();
  if (dims.width <= 0 || dims.height <= 0) return ScreenObject::makeBounds(size);
  // The area the layout gives (a zero component takes the parent's extent), shrunk to the frame's aspect.
  return ScreenObject::makeBounds(aspectFitBounds(ScreenObject::makeBounds(size), dims.width, dims.height).size());
}

std::optional<ScreenImage> AssetScreenObject::makeImage(ScreenRenderer& renderer) {
  if (!sampleBuffer_ || !sampleBuffer_->imageBuffer()) return std::nullopt;
  const auto picture = composableImage(sampleBuffer_->imageBuffer(), renderer.dynamicRangeMode());
  if (!picture) return std::nullopt;
  return scaledToBounds(*picture, videoGravity_, bounds());
}

void AssetScreenObject::draw(ScreenRenderer& renderer) {
  ScreenObject::draw(renderer);
  const auto elapsed = platform::MediaTime::fromNanos(clock_->now()) - startedAt_;
  if (sampleBuffer_ && sampleBuffer_->presentationTime() <= elapsed) setSampleBuffer(nextSampleBuffer());
}

}  // namespace medley
