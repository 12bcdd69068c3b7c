#pragma once
// Plays a movie file's video track inside the tree on the host clock: each
// draw shows the current frame and, once its time has come, fetches the next
// one (at most one per draw). At the end of the track it lets the reader go.
#include <memory>
#include <string>

#include "Medley/Sources/Extension/VideoGravityExtensions.h"
#include "Medley/Sources/Screen/AssetReader.h"
#include "Medley/Sources/Screen/ChromaKeyProcessable.h"
#include "Medley/Sources/Screen/ScreenObject.h"
#include "Platform/Time/HostClock.h"

namespace medley {

class AssetScreenObject final : public ScreenObject, public ChromaKeyProcessable {
 public:
  explicit AssetScreenObject(std::optional<std::string> id = std::nullopt,
                             std::shared_ptr<platform::Clock> clock = platform::HostClock::shared());

  const LayerVideoGravity& videoGravity() const { return videoGravity_; }
  // A different gravity invalidates the layout.
  void setVideoGravity(const LayerVideoGravity& gravity);

  // Replaces the reader (cancelling one still reading) and restarts the clock;
  // throws AssetReaderError when the file cannot be opened, changing nothing.
  void startReading(const std::string& path);
  bool isReading() const;
  void stopReading();

  const std::shared_ptr<AssetReader>& reader() const { return reader_; }
  const platform::SampleBufferRef& sampleBuffer() const { return sampleBuffer_; }
  const platform::MediaTime& startedAt() const { return startedAt_; }

  ScreenRect makeBounds(const ScreenSize& size) override;
  std::optional<ScreenImage> makeImage(ScreenRenderer& renderer) override;
  void draw(ScreenRenderer& renderer) override;

 private:
  void setReader(std::shared_ptr<AssetReader> reader);
  void setSampleBuffer(platform::SampleBufferRef sampleBuffer);
  platform::SampleBufferRef nextSampleBuffer();

  std::shared_ptr<platform::Clock> clock_;
  LayerVideoGravity videoGravity_ = layerVideoGravity::resizeAspect;
  std::shared_ptr<AssetReader> reader_;
  platform::SampleBufferRef sampleBuffer_;
  platform::MediaTime startedAt_ = platform::MediaTime::zero();
  std::shared_ptr<AssetReader> videoTrackOutput_;  // the reader, while it has a video track
};

}  // namespace medley
