#pragma once
// Shows a stream's video: as one of the stream's outputs it keeps the latest
// picture handed over and draws it, fitted by its gravity.
#include "Medley/Sources/Extension/VideoGravityExtensions.h"
#include "Medley/Sources/Screen/ChromaKeyProcessable.h"
#include "Medley/Sources/Screen/ScreenObject.h"
#include "Medley/Sources/Stream/StreamOutput.h"
#include "Platform/Media/SampleBuffer.h"

namespace medley {

class StreamScreenObject final : public ScreenObject, public ChromaKeyProcessable, public StreamOutput {
 public:
  using ScreenObject::ScreenObject;

  const LayerVideoGravity& videoGravity() const { return videoGravity_; }
  void setVideoGravity(const LayerVideoGravity& gravity) { videoGravity_ = gravity; }
  const platform::SampleBufferRef& sampleBuffer() const { return sampleBuffer_; }
  // On the ScreenActor: keeps the buffer; a new one invalidates the layout.
  void setSampleBuffer(platform::SampleBufferRef sampleBuffer);

  // From any thread: the buffer is stored on the ScreenActor.
  void stream(StreamConvertible& stream, const platform::SampleBufferRef& sampleBuffer) override;
  void stream(StreamConvertible&, const platform::AudioBufferRef&, const platform::AudioTime&) override {}

  ScreenRect makeBounds(const ScreenSize& size) override;
  std::optional<ScreenImage> makeImage(ScreenRenderer& renderer) override;

 private:
  LayerVideoGravity videoGravity_ = layerVideoGravity::resizeAspect;
  platform::SampleBufferRef sampleBuffer_;
};

}  // namespace medley
