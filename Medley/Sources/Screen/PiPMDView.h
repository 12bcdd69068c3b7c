#pragma once
// The preview that hands every frame a mixer or a stream gives it straight to
// a sample-buffer display layer, which shows it; the view only sets the layer
// up (at awakeFromNib()) and forwards the fitting mode. Frames that arrive
// before the layer exists are dropped. State belongs to the main queue.
#include <memory>
#include <optional>

#include "Medley/Sources/Mixer/MediaMixerOutput.h"
#include "Medley/Sources/Screen/SampleBufferDisplayLayer.h"
#include "Medley/Sources/Stream/StreamOutput.h"
#include "Platform/Dispatch/Runtime.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace medley {

class PiPMDView final : public MediaMixerOutput, public StreamOutput, public std::enable_shared_from_this<PiPMDView> {
 public:
  // Given to the layer of every view set up afterwards.
  static ScreenColor defaultBackgroundColor;

  explicit PiPMDView(std::shared_ptr<PreviewSurface> surface,
                     std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  // A view set up at once (its layer made on the main queue), as views made by code are.
  static std::shared_ptr<PiPMDView> make(std::shared_ptr<PreviewSurface> surface,
                                         std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  // Sets the layer up on the main queue.
  void awakeFromNib();
  const std::shared_ptr<platform::SerialQueue>& queue() const { return main_; }
  // Main queue only.
  void setVideoTrackId(std::optional<uint8_t> id) { tracks_.videoTrackId = id; }

  const LayerVideoGravity& videoGravity() const { return videoGravity_; }
  // Forwarded to the layer when there is one (also when unchanged).
  void setVideoGravity(const LayerVideoGravity& gravity);
  const std::shared_ptr<SampleBufferDisplayLayer>& layer() const { return layer_; }

  platform::Async<std::optional<uint8_t>> videoTrackId() override;
  platform::Async<std::optional<uint8_t>> audioTrackId() override;
  void mixer(MediaMixer& mixer, const platform::SampleBufferRef& sampleBuffer) override;
  void mixer(MediaMixer&, const platform::PCMBufferRef&, const platform::AudioTime&) override {}
  platform::Async<void> selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) override;
  void stream(StreamConvertible& stream, const platform::SampleBufferRef& sampleBuffer) override;
  void stream(StreamConvertible&, const platform::AudioBufferRef&, const platform::AudioTime&) override {}

 private:
  void handOff(const platform::SampleBufferRef& sampleBuffer);

  std::shared_ptr<PreviewSurface> surface_;
  std::shared_ptr<platform::SerialQueue> main_;
  LayerVideoGravity videoGravity_ = layerVideoGravity::resizeAspect;
  MediaMixerTrackSelection tracks_{kMixedTrack, std::nullopt};
  std::shared_ptr<SampleBufferDisplayLayer> layer_;
};

}  // namespace medley
