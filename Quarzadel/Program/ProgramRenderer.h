#pragma once
// The drawing half of the program picture: frames each source image into the
// program picture (fill, fit over a blurred and darkened fill of itself, or the
// whole image between black bars), dissolves between two sources, draws the
// slate when there is no picture, and renders into pooled BT.709 video-range
// buffers. Composed on the CPU directly on the luma and chroma planes. Used from
// one queue only.
#include <memory>
#include <optional>

#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/PixelBufferPool.h"
#include "Platform/Time/HostClock.h"
#include "Quarzadel/Program/NV12Ops.h"
#include "Quarzadel/Program/StreamConfig.h"

namespace quarzadel {

class ProgramRenderer {
 public:
  static constexpr size_t kMinimumPoolBuffers = 6;
  // The pool grows while the encoder and the recorder hold buffers, up to this;
  // beyond it a frame is skipped rather than memory growing without bound.
  static constexpr size_t kMaximumPoolBuffers = 64;
  // Buffers the pool grew by during a stall are freed once unused this long.
  static constexpr double kPoolIdleReleaseSeconds = 3;
  static constexpr double kDissolveSeconds = 0.35;
  static constexpr double kBlurSigma = 12;  // at a quarter of the output size
  static constexpr double kFillBrightness = -0.12;
  static constexpr double kFillSaturation = 0.9;

  // `clock` times the pool's idle buffers; the host clock when none.
  ProgramRenderer(StreamConfig config, Framing framing, std::shared_ptr<const platform::Clock> clock = nullptr);

  const StreamConfig& config() const { return config_; }
  Framing framing() const { return framing_; }
  void setFraming(Framing framing) { framing_ = framing; }
  // Stores the configuration and rebuilds the pool for its size.
  void setConfig(const StreamConfig& config);

  // A new pool for the current size; forgets the format description.
  void makePool();
  const std::shared_ptr<platform::PixelBufferPool>& pool() const { return pool_; }
  // Made from the first picture composed for the current pool.
  const platform::FormatDescriptionRef& formatDescription() const { return formatDescription_; }

  // The program picture: the on-air image (or the slate without one), dissolved
  // from `from` at `progress` (0...1, eased) when `from` is given. Null when the
  // pool gives no buffer. Every pixel of a returned buffer is drawn. An on-air
  // image that would only be copied (see passThrough) is not: the result shares
  // its pixels, so its buffer stays out of its source's pool while the result lives.
  platform::PixelBufferRef compose(const platform::PixelBufferRef& onAir, bool fit, const platform::PixelBufferRef& from,
                                   bool fromFit, double progress);

  // Frames `image` so that it covers exactly `dst` (the program's size).
  void frame(const platform::PixelBuffer& image, bool fit, const NV12Frame& dst);

  // Renders every path once (fill, fit over the blurred fill, whole image,
  // dissolve, slate) on landscape, portrait and 16:9 pictures; returns the
  // milliseconds it took, or none when its pictures could not be made.
  std::optional<double> warmUp(const platform::Clock& clock);

  // A bi-planar video-range buffer of the given size, black.
  static platform::PixelBufferRef blankBuffer(int width, int height);

  static double smoothstep(double p);
  // `automatic` is fit for images narrower than 1.1 : 1 and fill otherwise.
  static Framing resolve(Framing framing, int width, int height);
  static YCbCr slateColor();

 private:
  // The image as BT.709 video range, converted into a scratch picture when it is
  // not; empty for a layout that cannot be drawn.
  NV12Frame prepare(const platform::PixelBuffer& image);
  // When no dissolve runs and the image is BT.709 video-range NV12 of the
  // program's size, framing it at scale 1 covers the whole picture whatever the
  // framing, and drawing it is a copy: a view of its planes under the program's
  // colour tags instead. Null for any other image.
  platform::PixelBufferRef passThrough(const platform::PixelBufferRef& image) const;
  NV12Frame scratch(platform::PixelBufferRef& holder, int width, int height);
  void place(const NV12Frame& src, double scale, const NV12Frame& dst);
  // Fills `dst` outside the foreground rectangle with the blurred, darkened fill of `src`.
  void drawBlurredFill(const NV12Frame& src, const NV12Frame& dst, int fgX0, int fgY0, int fgX1, int fgY1);

  StreamConfig config_;
  Framing framing_;
  std::shared_ptr<const platform::Clock> clock_;
  std::shared_ptr<platform::PixelBufferPool> pool_;
  platform::FormatDescriptionRef formatDescription_;

  // Scratch pictures, reused from frame to frame.
  platform::PixelBufferRef fromPicture_;
  // The outgoing image fromPicture_ holds framed, and how: while a dissolve
  // shows the same outgoing image (a slower or silent outgoing source), it is
  // not framed again. Held, so its buffer cannot be recycled and refilled.
  struct FramedFrom {
    platform::PixelBufferRef image;
    bool fit = false;
    Framing framing = Framing::automatic;
  };
  FramedFrom framedFrom_;
  platform::PixelBufferRef background_;
  platform::PixelBufferRef converted_;
  platform::PixelBufferRef shrunkBGRA_;
  nv12::Scaler scaler_;
  nv12::Blur blur_;
  nv12::ToneTable tone_;
};

}  // namespace quarzadel
