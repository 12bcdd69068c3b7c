#pragma once
// An on-screen preview that draws pictures itself: it keeps the newest frame a
// mixer or a stream hands it (never a queue), and each redraw fits it into
// the drawable by its gravity, through its effects, optionally mirrored, and
// shows it on its surface (a window, or offscreen without a display). State
// belongs to the main queue; hand-offs come from any thread.
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "Medley/Sources/Extension/VideoGravityExtensions.h"
#include "Medley/Sources/Mixer/MediaMixerOutput.h"
#include "Medley/Sources/Screen/PreviewRenderer.h"
#include "Medley/Sources/Screen/PreviewSurface.h"
#include "Medley/Sources/Screen/VideoEffect.h"
#include "Medley/Sources/Stream/StreamOutput.h"
#include "Platform/Dispatch/Runtime.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace medley {

class MTMDView final : public MediaMixerOutput, public StreamOutput, public std::enable_shared_from_this<MTMDView> {
 public:
  explicit MTMDView(std::shared_ptr<PreviewSurface> surface,
                    std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  // A view set up at once, as views made by code are.
  static std::shared_ptr<MTMDView> make(std::shared_ptr<PreviewSurface> surface,
                                        std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  // Switches the view, on the main queue, to redraw whenever a frame is handed
  // over; until then handed frames are kept but drawn only by draw() or show().
  void awakeFromNib();
  bool redrawsOnRequest() const { return redrawsOnRequest_; }
  const std::shared_ptr<platform::SerialQueue>& queue() const { return main_; }

  // Main queue only; a change shows at the next redraw.
  const LayerVideoGravity& videoGravity() const { return videoGravity_; }
  void setVideoGravity(const LayerVideoGravity& gravity) { videoGravity_ = gravity; }
  // Flipped left to right, as a camera facing the user is shown.
  bool isMirrored() const { return isMirrored_; }
  void setMirrored(bool mirrored) { isMirrored_ = mirrored; }
  const platform::PixelBufferRef& displayImage() const { return displayImage_; }
  // Main queue only.
  void setVideoTrackId(std::optional<uint8_t> id) { tracks_.videoTrackId = id; }
  bool registerVideoEffect(const std::shared_ptr<VideoEffect>& effect);
  bool unregisterVideoEffect(const std::shared_ptr<VideoEffect>& effect);
  const std::shared_ptr<PreviewSurface>& surface() const { return surface_; }

  platform::Async<std::optional<uint8_t>> videoTrackId() override;
  platform::Async<std::optional<uint8_t>> audioTrackId() override;
  void mixer(MediaMixer& mixer, const platform::SampleBufferRef& sampleBuffer) override;
  void mixer(MediaMixer&, const platform::PCMBufferRef&, const platform::AudioTime&) override {}
  platform::Async<void> selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) override;
  void stream(StreamConvertible& stream, const platform::SampleBufferRef& sampleBuffer) override;
  void stream(StreamConvertible&, const platform::AudioBufferRef&, const platform::AudioTime&) override {}

  // The redraw: clears the drawable, draws the picture placed by the gravity,
  // presents; false when the surface could not show it.
  bool draw();
  // Keeps `picture` (bi-planar; none clears) and draws it now, on the caller's
  // thread: for an owner that draws the view on a queue of its own instead of
  // handing frames over.
  bool show(const platform::PixelBufferRef& picture);

 private:
  void handOff(const platform::SampleBufferRef& sampleBuffer);
  void setNeedsDisplay();

  std::shared_ptr<PreviewSurface> surface_;
  std::shared_ptr<platform::SerialQueue> main_;
  LayerVideoGravity videoGravity_ = layerVideoGravity::resizeAspect;
  bool isMirrored_ = false;
  MediaMixerTrackSelection tracks_{kMixedTrack, std::nullopt};
  platform::PixelBufferRef displayImage_;
  std::vector<std::shared_ptr<VideoEffect>> effects_;
  bool drawPending_ = false;
  std::atomic<bool> redrawsOnRequest_ = false;
  PreviewRenderer renderer_;
};

}  // namespace medley
