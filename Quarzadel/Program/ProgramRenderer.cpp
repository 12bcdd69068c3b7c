#include "Quarzadel/Program/ProgramRenderer.h"

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace quarzadel {

namespace {

constexpr YCbCr kBlack{16, 128, 128};

int evenRound(double v) { return static_cast<int>(std::lround(v / 2)) * 2; }

// Where an image of w x h scaled by s about its origin and centred in W x H lands,
// clipped to the output, and which part of the image shows there. Starts are even.
struct Placement {
  int dx0, dy0, dx1, dy1;  // output rectangle
  int sx, sy, sw, sh;      // image rectangle
  bool isEmpty() const { return dx1 <= dx0 || dy1 <= dy0 || sw <= 0 || sh <= 0; }
};

Placement placement(int w, int h, double s, int W, int H) {
  const double ox = (W - w * s) * 0.5, oy = (H - h * s) * 0.5;
  Placement p{};
  p.dx0 = std::clamp(evenRound(ox), 0, W);
  p.dy0 = std::clamp(evenRound(oy), 0, H);
  p.dx1 = std::clamp(evenRound(ox + w * s), p.dx0, W);
  p.dy1 = std::clamp(evenRound(oy + h * s), p.dy0, H);
  p.sx = std::clamp(evenRound((p.dx0 - ox) / s), 0, w);
  p.sy = std::clamp(evenRound((p.dy0 - oy) / s), 0, h);
  p.sw = std::clamp(static_cast<int>(std::lround((p.dx1 - p.dx0) / s)), 1, std::max(1, w - p.sx));
  p.sh = std::clamp(static_cast<int>(std::lround((p.dy1 - p.dy0) / s)), 1, std::max(1, h - p.sy));
  if (p.sx >= w || p.sy >= h) p.sw = p.sh = 0;
  return p;
}

void fillOutside(const NV12Frame& dst, int x0, int y0, int x1, int y1, YCbCr color) {
  nv12::fill(dst.crop(0, 0, dst.width, y0), color);
  nv12::fill(dst.crop(0, y1, dst.width, dst.height - y1), color);
  nv12::fill(dst.crop(0, y0, x0, y1 - y0), color);
  nv12::fill(dst.crop(x1, y0, dst.width - x1, y1 - y0), color);
}

}  // namespace

ProgramRenderer::ProgramRenderer(StreamConfig config, Framing framing, std::shared_ptr<const platform::Clock> clock)
    : config_(config), framing_(framing), clock_(std::move(clock)), tone_(nv12::ToneTable::colorControls(kFillBrightness, kFillSaturation)) {
  makePool();
}

void ProgramRenderer::setConfig(const StreamConfig& config) {
  config_ = config;
  makePool();
}

void ProgramRenderer::makePool() {
  platform::PixelBufferPool::Attributes attributes;
  attributes.maximumBufferCount = kMaximumPoolBuffers;
  attributes.colorAttachments = platform::ColorAttachments::bt709();
  attributes.idleRelease = platform::seconds(kPoolIdleReleaseSeconds);
  attributes.clock = clock_;
  pool_ = platform::PixelBufferPool::make(config_.width(), config_.height(), platform::PixelFormat::nv12VideoRange,
                                         kMinimumPoolBuffers, attributes);
  formatDescription_.reset();
}

double ProgramRenderer::smoothstep(double p) {
  p = std::clamp(p, 0.0, 1.0);
  return p * p * (3 - 2 * p);
}

Framing ProgramRenderer::resolve(Framing framing, int width, int height) {
  if (framing != Framing::automatic) return framing;
  return static_cast<double>(width) / height < 1.1 ? Framing::fit : Framing::fill;
}

YCbCr ProgramRenderer::slateColor() { return bt709VideoRange(0.08, 0.08, 0.09); }

platform::PixelBufferRef ProgramRenderer::blankBuffer(int width, int height) {
  auto buffer = platform::PixelBuffer::make(width, height, platform::PixelFormat::nv12VideoRange);
  if (buffer) {
    buffer->fillBlack();
    buffer->setColorAttachments(platform::ColorAttachments::bt709());
  }
  return buffer;
}

NV12Frame ProgramRenderer::scratch(platform::PixelBufferRef& holder, int width, int height) {
  if (!holder || holder->width() != width || holder->height() != height)
    holder = platform::PixelBuffer::make(width, height, platform::PixelFormat::nv12VideoRange);
  return holder ? NV12Frame::of(*holder) : NV12Frame{};
}

platform::PixelBufferRef ProgramRenderer::compose(const platform::PixelBufferRef& onAir, bool fit,
                                                  const platform::PixelBufferRef& from, bool fromFit,
                                                  double progress) {
  if (!pool_) return nullptr;
  if (!from) framedFrom_ = {};  // no dissolve: let the outgoing buffer go back to its pool
  if (onAir && !from) {
    if (auto view = passThrough(onAir)) {
      if (!formatDescription_) formatDescription_ = platform::FormatDescription::makeForImageBuffer(*view);
      return view;
    }
  }
  auto out = pool_->makePixelBuffer();
  if (!out) return nullptr;
  out->setColorAttachments(platform::ColorAttachments::bt709());
  if (!formatDescription_) formatDescription_ = platform::FormatDescription::makeForImageBuffer(*out);
  const NV12Frame dst = NV12Frame::of(*out);
  if (!onAir) {
    nv12::fill(dst, slateColor());
  } else if (from) {
    const auto* before = fromPicture_.get();
    const NV12Frame outgoing = scratch(fromPicture_, dst.width, dst.height);
    if (outgoing.isEmpty()) {
      framedFrom_ = {};
      frame(*onAir, fit, dst);
    } else {
      const bool framed = fromPicture_.get() == before && framedFrom_.image == from &&
                          framedFrom_.fit == fromFit && framedFrom_.framing == framing_;
      if (!framed) {
        frame(*from, fromFit, outgoing);
        framedFrom_ = {from, fromFit, framing_};
      }
      frame(*onAir, fit, dst);
      nv12::interpolate(outgoing, dst, dst, smoothstep(progress));
    }
  } else {
    frame(*onAir, fit, dst);
  }
  return out;
}

platform::PixelBufferRef ProgramRenderer::passThrough(const platform::PixelBufferRef& image) const {
  const int w = image->width(), h = image->height();
  if (image->format() != platform::PixelFormat::nv12VideoRange || w != config_.width() || h != config_.height())
    return nullptr;
  if (nv12::needsConversion(nv12::effectiveMatrix(image->colorAttachments().matrix, h), false)) return nullptr;
  // A view rather than the buffer itself: the encoders see the tags a drawn
  // picture carries, and the source's own tags stay as they are.
  auto view = platform::PixelBuffer::wrap(w, h, image->format(), {image->plane(0), image->plane(1)}, image);
  if (view) view->setColorAttachments(platform::ColorAttachments::bt709());
  return view;
}

NV12Frame ProgramRenderer::prepare(const platform::PixelBuffer& image) {
  const int w = image.width(), h = image.height();
  switch (image.format()) {
    case platform::PixelFormat::nv12VideoRange:
    case platform::PixelFormat::nv12FullRange: {
      const NV12Frame src = NV12Frame::of(image);
      const bool full = image.format() == platform::PixelFormat::nv12FullRange;
      const auto matrix = nv12::effectiveMatrix(image.colorAttachments().matrix, h);
      if (!nv12::needsConversion(matrix, full)) return src;
      const NV12Frame conv = scratch(converted_, w, h);
      nv12::convertToBT709(src, matrix, full, conv);
      return conv;
    }
    case platform::PixelFormat::p010: {
      const auto luma = image.plane(0), chroma = image.plane(1);
      const NV12Frame conv = scratch(converted_, w, h);
      nv12::convertP010(reinterpret_cast<const uint16_t*>(luma.data), static_cast<int>(luma.bytesPerRow),
                        reinterpret_cast<const uint16_t*>(chroma.data), static_cast<int>(chroma.bytesPerRow), conv);
      const auto matrix = nv12::effectiveMatrix(image.colorAttachments().matrix, h);
      if (nv12::needsConversion(matrix, false)) nv12::convertToBT709(conv, matrix, false, conv);
      return conv;
    }
    case platform::PixelFormat::bgra: {
      // Shrink first: no framing needs more than the fill scale of the output.
      const double s = std::min(1.0, std::max(double(config_.width()) / w, double(config_.height()) / h));
      const auto plane = image.plane(0);
      const uint8_t* pixels = plane.data;
      int stride = static_cast<int>(plane.bytesPerRow), tw = w, th = h;
      if (s < 1) {
        tw = std::max(2, evenRound(w * s));
        th = std::max(2, evenRound(h * s));
        if (!shrunkBGRA_ || shrunkBGRA_->width() != tw || shrunkBGRA_->height() != th)
          shrunkBGRA_ = platform::PixelBuffer::make(tw, th, platform::PixelFormat::bgra);
        if (!shrunkBGRA_) return {};
        const auto small = shrunkBGRA_->plane(0);
        libyuv::ARGBScale(pixels, stride, w, h, small.data, static_cast<int>(small.bytesPerRow), tw, th,
                          libyuv::kFilterBilinear);
        pixels = small.data;
        stride = static_cast<int>(small.bytesPerRow);
      }
      const NV12Frame conv = scratch(converted_, tw, th);
      nv12::convertBGRA(pixels, stride, tw, th, conv);
      return conv;
    }
  }
  return {};
}

void ProgramRenderer::place(const NV12Frame& src, double s, const NV12Frame& dst) {
  const Placement p = placement(src.width, src.height, s, dst.width, dst.height);
  if (p.isEmpty()) return;
  scaler_.scale(src.crop(p.sx, p.sy, p.sw, p.sh), dst.crop(p.dx0, p.dy0, p.dx1 - p.dx0, p.dy1 - p.dy0));
}

void ProgramRenderer::drawBlurredFill(const NV12Frame& src, const NV12Frame& dst, int fgX0, int fgY0, int fgX1,
                                      int fgY1) {
  // Framed at a quarter of the size, blurred at an eighth, then scaled up into the bars only.
  const NV12Frame bg = scratch(background_, evenRound(dst.width / 4.0), evenRound(dst.height / 4.0));
  if (bg.isEmpty()) {
    fillOutside(dst, fgX0, fgY0, fgX1, fgY1, kBlack);
    return;
  }
  place(src, std::max(double(bg.width) / src.width, double(bg.height) / src.height), bg);
  const NV12Frame blurred = blur_.halfSize(bg, kBlurSigma, &tone_);

  const double kx = double(blurred.width) / dst.width, ky = double(blurred.height) / dst.height;
  // Regions on a grid of 16 output pixels (2 blurred samples, chroma-aligned),
  // reaching 16 pixels under the foreground so that their edges stay hidden.
  auto upscale = [&](int x0, int y0, int x1, int y1) {
    x0 = std::clamp(x0 / 16 * 16, 0, dst.width);
    y0 = std::clamp(y0 / 16 * 16, 0, dst.height);
    x1 = std::clamp((x1 + 15) / 16 * 16, 0, dst.width);
    y1 = std::clamp((y1 + 15) / 16 * 16, 0, dst.height);
    if (x1 <= x0 || y1 <= y0) return;
    const int bx0 = static_cast<int>(std::lround(x0 * kx)), by0 = static_cast<int>(std::lround(y0 * ky));
    const int bx1 = std::min(blurred.width, static_cast<int>(std::lround(x1 * kx)));
    const int by1 = std::min(blurred.height, static_cast<int>(std::lround(y1 * ky)));
    if (bx1 <= bx0 || by1 <= by0) return;
    scaler_.scale(blurred.crop(bx0, by0, bx1 - bx0, by1 - by0), dst.crop(x0, y0, x1 - x0, y1 - y0));
  };
  if (fgX0 > 0 || fgX1 < dst.width) {
    upscale(0, 0, fgX0 + 16, dst.height);
    upscale(fgX1 - 16, 0, dst.width, dst.height);
  }
  if (fgY0 > 0 || fgY1 < dst.height) {
    upscale(0, 0, dst.width, fgY0 + 16);
    upscale(0, fgY1 - 16, dst.width, dst.height);
  }
}

void ProgramRenderer::frame(const platform::PixelBuffer& image, bool fit, const NV12Frame& dst) {
  if (dst.isEmpty()) return;
  if (image.width() <= 0 || image.height() <= 0) {
    nv12::fill(dst, kBlack);
    return;
  }
  const NV12Frame src = prepare(image);
  if (src.isEmpty()) {
    // Never leave a picture undrawn.
    nv12::fill(dst, kBlack);
    return;
  }
  const int W = dst.width, H = dst.height, w = src.width, h = src.height;
  const double sFit = std::min(double(W) / w, double(H) / h);
  const double sFill = std::max(double(W) / w, double(H) / h);
  if (fit) {
    const Placement p = placement(w, h, sFit, W, H);
    fillOutside(dst, p.dx0, p.dy0, p.dx1, p.dy1, kBlack);
    place(src, sFit, dst);
    return;
  }
  const Framing mode = resolve(framing_, image.width(), image.height());
  if (mode == Framing::fill || std::abs(sFit - sFill) < 0.001) {
    place(src, sFill, dst);
    return;
  }
  const Placement p = placement(w, h, sFit, W, H);
  drawBlurredFill(src, dst, p.dx0, p.dy0, p.dx1, p.dy1);
  place(src, sFit, dst);
}

std::optional<double> ProgramRenderer::warmUp(const platform::Clock& clock) {
  const platform::Nanos started = clock.now();
  const auto landscape = blankBuffer(1440, 1080);
  const auto portrait = blankBuffer(1080, 1920);
  const auto wide = blankBuffer(1920, 1080);
  if (!landscape || !portrait || !wide) return std::nullopt;

  const Framing saved = framing_;
  std::vector<platform::PixelBufferRef> rendered;
  for (Framing f : {Framing::fill, Framing::fit}) {
    framing_ = f;
    for (const auto& image : {landscape, portrait})
      if (auto out = compose(image, false, nullptr, false, 0)) rendered.push_back(out);
    if (rendered.size() >= 2) {
      const auto& a = rendered[rendered.size() - 2];
      const auto& b = rendered.back();
      compose(a, false, b, false, 0.5);
      compose(b, false, a, false, 0.5);
    }
  }
  framing_ = Framing::automatic;
  for (size_t i = 0; i < rendered.size() && i < 5; ++i) compose(wide, false, rendered[i], false, 0.5);
  compose(landscape, true, wide, false, 0.5);
  compose(wide, false, portrait, true, 0.5);
  framing_ = saved;
  compose(nullptr, false, nullptr, false, 0);
  return platform::toSeconds(clock.now() - started) * 1000;
}

}  // namespace quarzadel
