#pragma once
// Scaling pictures: libyuv's scaler, and our own bilinear one.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "Quarzadel/Program/NV12Frame.h"
#include "Quarzadel/Program/ScratchBytes.h"

namespace quarzadel::nv12 {

// Scales the whole of `src` onto the whole of `dst` (bilinear; box when shrinking
// and `smoothShrink`).
void scale(const NV12Frame& src, const NV12Frame& dst, bool smoothShrink = false);

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

}  // namespace quarzadel::nv12
