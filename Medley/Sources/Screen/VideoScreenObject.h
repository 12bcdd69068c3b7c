#pragma once
// Shows one captured video track: frames wait in a time-sorted queue (at most
// three); each layout takes the newest frame due at the tick's time, scales it
// into the bounds by the gravity and runs the effect chain.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Medley/Sources/Codec/DynamicRangeMode.h"
#include "Medley/Sources/Extension/VideoGravityExtensions.h"
#include "Medley/Sources/Screen/ChromaKeyProcessable.h"
#include "Medley/Sources/Screen/ScreenObject.h"
#include "Medley/Sources/Screen/VideoEffect.h"
#include "Medley/Sources/Util/FrameTracker.h"
#include "Medley/Sources/Util/TypedBlockQueue.h"

namespace medley {

class VideoScreenObject final : public ScreenObject, public ChromaKeyProcessable {
 public:
  static constexpr long kQueueCapacity = 3;

  explicit VideoScreenObject(std::optional<std::string> id = std::nullopt);

  uint8_t track() const { return track_; }
  void setTrack(uint8_t track);
  const LayerVideoGravity& videoGravity() const { return videoGravity_; }
  void setVideoGravity(const LayerVideoGravity& gravity);

  // Fed by the mixer on the ScreenActor; none when it could not be made.
  TypedBlockQueue<platform::SampleBuffer>* queue() { return queue_ ? &*queue_ : nullptr; }
  FrameTracker& frameTracker() { return frameTracker_; }
  int frameRate() const { return frameTracker_.frameRate; }

  // False when the same effect is already registered.
  bool registerVideoEffect(const std::shared_ptr<VideoEffect>& effect);
  // False when it is not registered.
  bool unregisterVideoEffect(const std::shared_ptr<VideoEffect>& effect);
  const std::vector<std::shared_ptr<VideoEffect>>& effects() const { return effects_; }

  // {"track": decimal text}; a "track" that is not a number from 0 to 255 gives 0.
  Elements elements() const override;
  void setElements(const Elements& elements) override;

  std::optional<ScreenImage> makeImage(ScreenRenderer& renderer) override;
  ScreenRect makeBounds(const ScreenSize& size) override;
  void draw(ScreenRenderer& renderer) override;

 private:
  uint8_t track_ = 0;
  LayerVideoGravity videoGravity_ = layerVideoGravity::resizeAspect;
  std::optional<TypedBlockQueue<platform::SampleBuffer>> queue_;
  std::vector<std::shared_ptr<VideoEffect>> effects_;
  FrameTracker frameTracker_;
};

// The bounds that shrink a node to a picture's aspect inside the area the layout gives it.
ScreenRect aspectFitBounds(const ScreenRect& area, int pictureWidth, int pictureHeight);
// A picture scaled into bounds by a gravity.
// The compositor's picture of a frame for a renderer composing in `mode` (see
// makeScreenImage); none, logged, for a layout it cannot read.
std::optional<ScreenImage> composableImage(const platform::PixelBufferRef& pixelBuffer,
                                           DynamicRangeMode mode = DynamicRangeMode::sdr);
ScreenImage scaledToBounds(const ScreenImage& image, const LayerVideoGravity& gravity, const ScreenRect& bounds);
// Whole decimal text 0...255 with an optional sign, as the platform's parser reads it.
std::optional<uint8_t> parseTrack(const std::string& text);

}  // namespace medley
