#pragma once
// Operations on bi-planar 4:2:0 pictures, done directly on the luma and chroma
// planes so that BT.709 pictures stay BT.709 without a detour through RGB.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/Media/ColorAttachments.h"
#include "Quarzadel/Program/NV12Frame.h"

namespace quarzadel::nv12 {

void fill(const NV12Frame& dst, YCbCr color);

// Scales the whole of `src` onto the whole of `dst` (bilinear; box when shrinking
// and `smoothShrink`).
void scale(const NV12Frame& src, const NV12Frame& dst, bool smoothShrink = false);

// One row of n bytes, (r0 x (256 - fraction) + r1 x fraction + 128) / 256 rounded
// down, fraction 0...255; at 0 r1 is not read.
void blendRow(const uint8_t* r0, const uint8_t* r1, uint8_t* d, int n, int fraction);
// Two rows between the same pair: d0 as blendRow(r0, r1, d0, n, fraction0), d1
// likewise, the pair read once for both.
void blendRowPair(const uint8_t* r0, const uint8_t* r1, uint8_t* d0, int fraction0, uint8_t* d1, int fraction1,
                  int n);

// Scratch memory that only grows and is never cleared: every byte handed out is
// written before it is read, and a frame must not pay for zeroing it.
class ScratchBytes {
 public:
  uint8_t* get(size_t bytes);

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
};

// A bilinear scaler built from row interpolation and transposes, which the
// hardware does many samples at a time (a horizontal filter does one). Keeps
// its scratch memory between calls.
class Scaler {
 public:
  void scale(const NV12Frame& src, const NV12Frame& dst);
  // Our own path whatever the ratio (scale() without the libyuv shortcut);
  // without `byShuffles`, rows are filtered across only as transposed columns.
  void scaleSeparably(const NV12Frame& src, const NV12Frame& dst, bool byShuffles = true);

  // Whether `dst` is exactly a quarter of `src` both ways. Such shrinks go to
  // libyuv's 4 x 4 box, faster than ours there (ours is faster at every other ratio).
  static bool isQuarter(int sw, int sh, int dw, int dh);

 private:
  // One channel, or two interleaved (chroma).
  void scalePlane(const uint8_t* src, int srcStride, int sw, int sh, uint8_t* dst, int dstStride, int dw, int dh,
                  int channels, bool byShuffles);
  // The same with rows filtered across by byte shuffles, eight outputs at a
  // time, where the ratio lets at least four outputs share 16 input bytes or
  // is an exact 4x or 8x enlargement; false (nothing done) otherwise.
  bool scalePlaneByShuffles(const uint8_t* src, int srcStride, int sw, int sh, uint8_t* dst, int dstStride, int dw,
                            int dh, int channels);

 public:
  // Up to eight output bytes of a row made from 16 input bytes starting at `src`:
  // output k is (in[mask[2k]] x weights[2k] + in[mask[2k + 1]] x weights[2k + 1] + 128) / 256,
  // the two weights adding up to 256.
  struct ShuffleGroup {
    alignas(16) uint8_t mask[16];
    alignas(16) uint8_t weights[16];
    int src = 0;
    int at = 0;  // first output byte
    int count = 0;
  };

  // A stretch of a row whose groups repeat every few groups, as those of a
  // ratio of small numbers do (3:2: three groups, 24 outputs from 16 input
  // bytes): done 32 output bytes at a time with the weights of one cycle held
  // in registers, the input stepped on by the cycle's advance.
  struct Cycle {
    int first = 0;    // the stretch's first group
    int cycles = 0;   // how many cycles it holds; 0 where a row has no such stretch
    int units = 0;    // 32-byte outputs (four groups) in a cycle, 1...3
    int extraUnits = 0;  // those of one more cycle that fit before the row's end
    int advance = 0;  // input bytes from one cycle to the next
    // Where the second lane's 16-byte window starts after the first's: 0, 8
    // or 16 bytes (one load for both), or -1 where it is loaded on its own.
    int lane1 = 0;
    // Whether the two operations of a unit share its first one's window.
    bool shared = false;
    // The two 256-bit operations of each unit: groups g and g + 2 in the
    // first, g + 1 and g + 3 in the second, so that packing them lines up 32
    // outputs in order.
    struct Op {
      uint8_t mask[32];
      uint8_t weights[32];
      // The first lane's window (the unit's where it shares one), from the
      // stretch's first group's; the second lane's where loaded on its own.
      int src = 0;
      int src1 = 0;
    };
    std::array<Op, 6> ops{};
  };

  // A row's last 32 outputs at once, laid out as a cycle's unit, each group
  // from its own window (src and src1 from the row's start) ending within the
  // row: the row's end without going group by group.
  struct EndBlock {
    int at = 0;  // first output byte
    std::array<Cycle::Op, 2> ops{};
  };

 private:
  ScratchBytes rows_, transposed_[2], scaled_[2], back_[2];
  // The groups of the last few row width pairs: a picture repeats the same
  // handful of them (fill, bars, foreground) every frame.
  struct Groups {
    int sw = -1, dw = -1, channels = 0;
    bool usable = false;
    std::vector<ShuffleGroup> list;
    Cycle cycle;
    std::optional<EndBlock> end;
  };
  // Those of this pair, built if need be; null when shuffles do not suit it.
  const Groups* groupsFor(int sw, int dw, int channels);
  std::array<Groups, 12> groups_;
  size_t nextGroups_ = 0;
};

// dst = from + (to - from) x t, t in 0...1, on both planes.
void interpolate(const NV12Frame& from, const NV12Frame& to, const NV12Frame& dst, double t);

// Per-sample tables: one for luma, one for both chroma components.
struct ToneTable {
  std::array<uint8_t, 256> luma;
  std::array<uint8_t, 256> chroma;
  // Brightness added to gamma-encoded RGB (a luma offset) and saturation
  // (chroma scaled about neutral), in video range.
  static ToneTable colorControls(double brightness, double saturation);

  // The same tables as arithmetic that runs many samples at a time, when it
  // gives every entry exactly: luma v + offset, chroma ((v - 128) x gain + bias)
  // / 32768 rounded down, each clamped to its range.
  struct Arithmetic {
    int lumaOffset = 0;
    int chromaGain = 0;
    int chromaBias = 0;
  };
  std::optional<Arithmetic> arithmetic;
};
void apply(const NV12Frame& f, const ToneTable& table);

// A Gaussian blur approximated by three box passes each way, edges repeated
// outward. A wide one is done on a picture of half the size and enlarged back:
// it keeps nothing that half the samples cannot hold, and a quarter of the
// samples costs a quarter. Keeps its scratch memory between calls.
class Blur {
 public:
  // From this sigma on the blur is done at half size.
  static constexpr double kHalfSizeSigma = 6;

  // sigma in luma samples; chroma gets half of it (half the resolution).
  // `tone`, when given, is applied to the blurred picture (at the smaller size
  // when blurred at half size).
  void apply(const NV12Frame& f, double sigma, const ToneTable* tone = nullptr);
  // The blur alone, always at full size.
  void applyFullSize(const NV12Frame& f, double sigma);
  // The picture blurred (and toned) at half the size of `f`, rounded up, without
  // enlarging it back; `f` is left as it is. Valid until the next call.
  NV12Frame halfSize(const NV12Frame& f, double sigma, const ToneTable* tone = nullptr);
  // Box radii of the three passes for a Gaussian of this sigma.
  static std::array<int, 3> boxRadii(double sigma);

 private:
  // `padded`: the plane's rows have room (scratch) up to a multiple of 16 bytes.
  void blurPlane(uint8_t* plane, int stride, int samples, int rows, int channels, const std::array<int, 3>& radii,
                 bool padded);
  void columnPasses(uint8_t* plane, int stride, uint8_t* out, int outStride, int rowBytes, int rows,
                    const std::array<int, 3>& radii, bool padded);
  // The planes of `f` halved, blurred and toned; chroma as two planes, and
  // room for it interleaved.
  struct Halved {
    uint8_t* y = nullptr;
    uint8_t* u = nullptr;
    uint8_t* v = nullptr;
    uint8_t* uv = nullptr;
    int yStride = 0, cStride = 0, uvStride = 0;
    int w = 0, h = 0, cw = 0, ch = 0;
  };
  Halved blurHalved(const NV12Frame& f, double sigma, const ToneTable* tone);

  ScratchBytes tmpA_, tmpB_, transposed_, back_, half_, halfUV_, wide_;
  std::vector<uint16_t> sums_;
};

// BGRA (gamma-encoded, full range) to BT.709 video range.
void convertBGRA(const uint8_t* bgra, int stride, int width, int height, const NV12Frame& dst);

// 16-bit bi-planar samples (10 significant bits at the top) to 8 bits; same matrix and range.
void convertP010(const uint16_t* y, int strideY, const uint16_t* uv, int strideUV, const NV12Frame& dst);

// The matrix a picture is in when it carries no tag: BT.601 below 720 rows, BT.709 from 720 on.
platform::YCbCrMatrix effectiveMatrix(platform::YCbCrMatrix tagged, int height);
// Whether a picture in this matrix and range must be converted to be BT.709 video range.
bool needsConversion(platform::YCbCrMatrix matrix, bool fullRange);
// Any YCbCr matrix and range to BT.709 video range (same size).
void convertToBT709(const NV12Frame& src, platform::YCbCrMatrix matrix, bool fullRange, const NV12Frame& dst);

}  // namespace quarzadel::nv12
