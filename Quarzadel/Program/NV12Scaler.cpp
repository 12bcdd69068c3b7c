// The per-sample loops below are written to vectorise; the default optimisation
// level would leave most of them scalar.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif
#include "Quarzadel/Program/NV12Scaler.h"

#include "Quarzadel/Program/NV12Blend.h"
#include "Quarzadel/Program/NV12Support.h"

#include <libyuv/planar_functions.h>
#include <libyuv/rotate.h>
#include <libyuv/scale.h>
#include <libyuv/scale_uv.h>

#include <algorithm>
#include <cstring>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>  // byte shuffles, used where the processor has them
#endif

namespace quarzadel::nv12 {

void scale(const NV12Frame& src, const NV12Frame& dst, bool smoothShrink) {
  if (src.isEmpty() || dst.isEmpty()) return;
  const bool shrinking = dst.width < src.width || dst.height < src.height;
  libyuv::NV12Scale(src.y, src.strideY, src.uv, src.strideUV, src.width, src.height, dst.y, dst.strideY, dst.uv,
                    dst.strideUV, dst.width, dst.height,
                    smoothShrink && shrinking ? libyuv::kFilterBox : libyuv::kFilterBilinear);
}

namespace {

// Centre-aligned source position of output sample i: the lower sample and the
// fraction (0...255) towards the next one.
struct Tap {
  int index;
  int fraction;
};

Tap tap(int i, int srcCount, int dstCount) {
  double pos = (i + 0.5) * srcCount / dstCount - 0.5;
  pos = std::clamp(pos, 0.0, double(srcCount - 1));
  const int i0 = std::min(static_cast<int>(pos), srcCount - 1);
  int f = static_cast<int>((pos - i0) * 256 + 0.5);  // not negative: rounds as lround does
  if (f >= 256) return {std::min(i0 + 1, srcCount - 1), 0};
  return {i0, i0 + 1 < srcCount ? f : 0};
}

// Rows of `dst` (rowBytes wide) interpolated between rows of `src`.
void interpolateRows(const uint8_t* src, int srcStride, int srcRows, uint8_t* dst, int dstStride, int dstRows,
                     int rowBytes) {
  for (int y = 0; y < dstRows; ++y) {
    const Tap t = tap(y, srcRows, dstRows);
    const uint8_t* r0 = src + static_cast<ptrdiff_t>(t.index) * srcStride;
    blendRow(r0, r0 + srcStride, dst + static_cast<ptrdiff_t>(y) * dstStride, rowBytes, t.fraction);
  }
}

}  // namespace

namespace {

// Output byte j of a row as output k of group g, whose window starts at g.src:
// false where its pair of input bytes is not within the window.
bool addSample(Scaler::ShuffleGroup& g, int k, int j, int sw, int dw, int ch) {
  const Tap t = tap(j / ch, sw, dw);
  const int c = j % ch;
  const int a = t.index * ch + c, b = (t.fraction ? t.index + 1 : t.index) * ch + c;
  if (a < g.src || b - g.src >= 16) return false;
  g.mask[2 * k] = static_cast<uint8_t>(a - g.src);
  g.mask[2 * k + 1] = static_cast<uint8_t>(b - g.src);
  // A whole sample (its pair is itself) as half and half, so that both
  // weights fit a byte.
  g.weights[2 * k] = static_cast<uint8_t>(t.fraction ? 256 - t.fraction : 128);
  g.weights[2 * k + 1] = static_cast<uint8_t>(t.fraction ? t.fraction : 128);
  g.count = k + 1;
  return true;
}

// The groups of one row: false when they would average fewer than four outputs.
bool buildGroups(int sw, int dw, int ch, std::vector<Scaler::ShuffleGroup>& groups) {
  groups.clear();
  const int outBytes = dw * ch;
  int j = 0;
  while (j < outBytes) {
    Scaler::ShuffleGroup g{};
    std::memset(g.mask, 0x80, sizeof g.mask);  // zero lanes
    g.at = j;
    g.src = tap(j / ch, sw, dw).index * ch + j % ch;
    for (int k = 0; k < 8 && j < outBytes && addSample(g, k, j, sw, dw, ch); ++k) ++j;
    groups.push_back(g);
  }
  return static_cast<size_t>(outBytes) >= groups.size() * 4;
}

// A row's end block (see Scaler::EndBlock), where its outputs' pairs fit
// windows within the row.
std::optional<Scaler::EndBlock> buildEndBlock(int sw, int dw, int ch) {
  const int inBytes = sw * ch, outBytes = dw * ch;
  if (inBytes < 16 || outBytes < 32) return std::nullopt;
  Scaler::EndBlock block;
  block.at = outBytes - 32;
  for (int q = 0; q < 4; ++q) {
    Scaler::ShuffleGroup g{};
    g.at = block.at + 8 * q;
    g.src = std::min(tap(g.at / ch, sw, dw).index * ch + g.at % ch, inBytes - 16);
    for (int k = 0; k < 8; ++k)
      if (!addSample(g, k, g.at + k, sw, dw, ch)) return std::nullopt;
    // Groups 0 and 2 in the first operation, 1 and 3 in the second.
    auto& op = block.ops[q % 2];
    const int lane = q / 2;
    std::memcpy(op.mask + 16 * lane, g.mask, 16);
    std::memcpy(op.weights + 16 * lane, g.weights, 16);
    (lane ? op.src1 : op.src) = g.src;
  }
  return block;
}

uint8_t groupSample(const uint8_t* in, const Scaler::ShuffleGroup& g, int k) {
  const int v = in[g.mask[2 * k]] * g.weights[2 * k] + in[g.mask[2 * k + 1]] * g.weights[2 * k + 1];
  return static_cast<uint8_t>((v + 128) >> 8);
}

#if defined(__x86_64__)
// Output k of a group's window from its shuffled pairs: the samples made signed
// by subtracting 128 against the unsigned byte weights, whose sum of 256 makes
// the products 32768 short, which the rounding constant 0x8080 gives back.
__attribute__((target("ssse3"))) __m128i shuffleGroup(const uint8_t* window, __m128i mask,
                                                      const Scaler::ShuffleGroup& g) {
  const __m128i pairs =
      _mm_sub_epi8(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(window)), mask),
                   _mm_set1_epi8(static_cast<char>(0x80)));
  const __m128i sums = _mm_maddubs_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(g.weights)), pairs);
  const __m128i words = _mm_srli_epi16(_mm_add_epi16(sums, _mm_set1_epi16(static_cast<short>(0x8080))), 8);
  return _mm_packus_epi16(words, _mm_setzero_si128());
}

__attribute__((target("ssse3"))) __m128i shuffleGroup(const uint8_t* window, const Scaler::ShuffleGroup& g) {
  return shuffleGroup(window, _mm_load_si128(reinterpret_cast<const __m128i*>(g.mask)), g);
}

// Groups [i, n) one at a time up to the row's end block, those whose window
// or store would reach past the row from its last 16 bytes or a padded copy;
// then the end block over them.
__attribute__((target("avx2"))) inline void groupsToRowEnd(const uint8_t* in, int inBytes, uint8_t* out,
                                                           int outBytes, const Scaler::ShuffleGroup* list, size_t i,
                                                           size_t n, const Scaler::EndBlock* end) {
  for (; i < n; ++i) {
    const auto& g = list[i];
    if (end && g.at >= end->at) break;
    if (g.src + 16 <= inBytes && g.at + 8 <= outBytes) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + g.at), shuffleGroup(in + g.src, g));
    } else if (inBytes >= 16 && g.at + 8 <= outBytes) {
      // The 16 bytes ending the row as its window, its mask moved along to
      // match (zero lanes stay zero lanes).
      const int shift = g.src - (inBytes - 16);
      const __m128i mask = _mm_add_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(g.mask)),
                                        _mm_set1_epi8(static_cast<char>(shift)));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + g.at), shuffleGroup(in + inBytes - 16, mask, g));
    } else {
      // From its last bytes padded to a whole window, and only as many
      // outputs as the group has.
      alignas(16) uint8_t window[16] = {}, staged[16];
      std::memcpy(window, in + g.src, std::min(16, inBytes - g.src));
      _mm_store_si128(reinterpret_cast<__m128i*>(staged), shuffleGroup(window, g));
      std::memcpy(out + g.at, staged, g.count);
    }
  }
  if (i == n) return;
  // As a cycle's unit (see cycleWords).
  const __m256i top = _mm256_set1_epi8(static_cast<char>(0x80)), scale = _mm256_set1_epi16(128);
  __m256i words[2];
  for (int k = 0; k < 2; ++k) {
    const auto& op = end->ops[k];
    const __m256i window = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(in + op.src1),
                                               reinterpret_cast<const __m128i*>(in + op.src));
    const __m256i pairs = _mm256_shuffle_epi8(_mm256_xor_si256(window, top),
                                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(op.mask)));
    words[k] = _mm256_mulhrs_epi16(
        _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(op.weights)), pairs), scale);
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + end->at),
                      _mm256_xor_si256(_mm256_packs_epi16(words[0], words[1]), top));
}

// One group after another; stores eight bytes each (those past its count are
// redone by the next group), or sample by sample at the row's end.
__attribute__((target("ssse3"))) void shuffleRowSSSE3(const uint8_t* in, int inBytes, uint8_t* out, int outBytes,
                                                      const std::vector<Scaler::ShuffleGroup>& groups) {
  int at = 0;
  for (const auto& g : groups) {
    if (g.src + 16 <= inBytes && at + 8 <= outBytes)
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + at), shuffleGroup(in + g.src, g));
    else
      for (int k = 0; k < g.count; ++k) out[at + k] = groupSample(in + g.src, g, k);
    at += g.count;
  }
}

// Two groups at a time, one in each half of the 256-bit registers. The fields
// are read before the stores, which (as bytes) could alias them.
__attribute__((target("avx2"))) void shuffleRowAVX2(const uint8_t* in, int inBytes, uint8_t* out, int outBytes,
                                                    const Scaler::ShuffleGroup* list, size_t n,
                                                    const Scaler::EndBlock* end) {
  const __m256i offset = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m256i round = _mm256_set1_epi16(static_cast<short>(0x8080));
  // Groups whose window and eight-byte store stay within the row: all but the
  // last one or two, as windows and outputs only move forward.
  size_t whole = n;
  while (whole > 0 && (list[whole - 1].src + 16 > inBytes || list[whole - 1].at + 8 > outBytes)) --whole;
  size_t i = 0;
  for (; i + 1 < whole; i += 2) {
    const Scaler::ShuffleGroup* g0 = list + i;
    const Scaler::ShuffleGroup* g1 = g0 + 1;
    const int src0 = g0->src, src1 = g1->src, at0 = g0->at, at1 = g1->at;
    const __m256i window = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(in + src1),
                                               reinterpret_cast<const __m128i*>(in + src0));
    const __m256i mask = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(g1->mask),
                                             reinterpret_cast<const __m128i*>(g0->mask));
    const __m256i weights = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(g1->weights),
                                                reinterpret_cast<const __m128i*>(g0->weights));
    const __m256i pairs = _mm256_sub_epi8(_mm256_shuffle_epi8(window, mask), offset);
    const __m256i words = _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(weights, pairs), round), 8);
    const __m256i bytes = _mm256_packus_epi16(words, words);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + at0), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + at1), _mm256_extracti128_si256(bytes, 1));
  }
  groupsToRowEnd(in, inBytes, out, outBytes, list, i, n, end);
}

// The window of one operation of a cycle: 16 bytes for each 128-bit lane.
template <int Lane1>
__attribute__((target("avx2"))) inline __m256i cycleWindow(const uint8_t* base, int src, int src1) {
  if constexpr (Lane1 == 0)
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(base + src)));
  else if constexpr (Lane1 == 8)  // quadwords 0, 1 | 1, 2
    return _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + src)), 0x94);
  else if constexpr (Lane1 == 16)
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + src));
  else
    return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(base + src1),
                               reinterpret_cast<const __m128i*>(base + src));
}

// The two groups of one operation from their window with its samples made
// signed: against unsigned weights they come out 32768 short, so the rounding
// high multiply by 128 gives each output less 128 (see blendedAVX2, NV12Blend.cpp).
__attribute__((target("avx2"))) inline __m256i cycleWords(__m256i signedWindow, __m256i mask, __m256i weights) {
  return _mm256_mulhrs_epi16(_mm256_maddubs_epi16(weights, _mm256_shuffle_epi8(signedWindow, mask)),
                             _mm256_set1_epi16(128));
}

// A row's repeating stretch, from `in` and `out` at its first group. `Shared`:
// both operations of a unit take their pairs from one window.
template <int Units, int Lane1, bool Shared>
__attribute__((target("avx2"))) void cycleRowAVX2(const uint8_t* in, uint8_t* out, const Scaler::Cycle& c) {
  // The weights in registers; the masks stay where they are, read by the
  // shuffles themselves (there are not registers enough for both).
  constexpr int kOps = 2 * Units;
  __m256i weights[kOps];
  int src[kOps], src1[kOps];
  for (int k = 0; k < kOps; ++k) {
    weights[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c.ops[k].weights));
    src[k] = c.ops[k].src;
    src1[k] = c.ops[k].src1;
  }
  const Scaler::Cycle::Op* ops = c.ops.data();
  auto mask = [&](int k) __attribute__((target("avx2"))) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ops[k].mask));
  };
  const __m256i top = _mm256_set1_epi8(static_cast<char>(0x80));
  auto unit = [&](int u) __attribute__((target("avx2"))) {
    const int k = 2 * u;
    const __m256i window = _mm256_xor_si256(cycleWindow<Lane1>(in, src[k], src1[k]), top);
    const __m256i other = Shared ? window : _mm256_xor_si256(cycleWindow<Lane1>(in, src[k + 1], src1[k + 1]), top);
    const __m256i a = cycleWords(window, mask(k), weights[k]), b = cycleWords(other, mask(k + 1), weights[k + 1]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * u), _mm256_xor_si256(_mm256_packs_epi16(a, b), top));
  };
  const int advance = c.advance;
  for (int r = c.cycles; r > 0; --r, in += advance, out += 32 * Units)
    for (int u = 0; u < Units; ++u) unit(u);
  for (int u = 0; u < c.extraUnits; ++u) unit(u);
}

template <int Units, bool Shared>
void cycleRow(const uint8_t* in, uint8_t* out, const Scaler::Cycle& c) {
  switch (c.lane1) {
    case 0: cycleRowAVX2<Units, 0, Shared>(in, out, c); break;
    case 8: cycleRowAVX2<Units, 8, Shared>(in, out, c); break;
    case 16: cycleRowAVX2<Units, 16, Shared>(in, out, c); break;
    default: cycleRowAVX2<Units, -1, false>(in, out, c); break;
  }
}

template <int Units>
void cycleRow(const uint8_t* in, uint8_t* out, const Scaler::Cycle& c) {
  if (c.shared)
    cycleRow<Units, true>(in, out, c);
  else
    cycleRow<Units, false>(in, out, c);
}

// A row with a repeating stretch: the groups before it, the stretch, and the
// groups after it to the row's end.
__attribute__((target("avx2"))) void cycledRowAVX2(const uint8_t* in, int inBytes, uint8_t* out, int outBytes,
                                                   const std::vector<Scaler::ShuffleGroup>& groups,
                                                   const Scaler::Cycle& cycle, const Scaler::EndBlock* end) {
  // The groups before the stretch first: the last one's eight-byte store may
  // reach into it, and the stretch writes those bytes over. Their windows and
  // stores are within the row, as the stretch's are.
  const Scaler::ShuffleGroup* list = groups.data();
  const size_t first = cycle.first,
               after = first + static_cast<size_t>(4 * (cycle.units * cycle.cycles + cycle.extraUnits));
  for (size_t i = 0; i < first; ++i)
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + list[i].at), shuffleGroup(in + list[i].src, list[i]));
  const uint8_t* from = in + list[first].src;
  uint8_t* to = out + list[first].at;
  switch (cycle.units) {
    case 1: cycleRow<1>(from, to, cycle); break;
    case 2: cycleRow<2>(from, to, cycle); break;
    default: cycleRow<3>(from, to, cycle); break;
  }
  groupsToRowEnd(in, inBytes, out, outBytes, list, after, groups.size(), end);
}

void shuffleRow(const uint8_t* in, int inBytes, uint8_t* out, int outBytes,
                const std::vector<Scaler::ShuffleGroup>& groups, const Scaler::Cycle& cycle,
                const std::optional<Scaler::EndBlock>& end) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  const Scaler::EndBlock* endBlock = end ? &*end : nullptr;
  if (!avx2)
    shuffleRowSSSE3(in, inBytes, out, outBytes, groups);
  else if (cycle.cycles == 0)
    shuffleRowAVX2(in, inBytes, out, outBytes, groups.data(), groups.size(), endBlock);
  else
    cycledRowAVX2(in, inBytes, out, outBytes, groups, cycle, endBlock);
}
#else
void shuffleRow(const uint8_t*, int, uint8_t*, int, const std::vector<Scaler::ShuffleGroup>&, const Scaler::Cycle&,
                const std::optional<Scaler::EndBlock>&) {}
#endif

// The longest repeating stretch of a row's groups (see Scaler::Cycle) whose
// windows stay within its `inBytes`; none (no cycles) where no stretch holds
// two whole cycles.
Scaler::Cycle findCycle(const std::vector<Scaler::ShuffleGroup>& groups, int inBytes) {
  using Group = Scaler::ShuffleGroup;
  const int n = static_cast<int>(groups.size());
  auto alike = [](const Group& a, const Group& b) {
    return a.count == 8 && b.count == 8 && std::memcmp(a.mask, b.mask, sizeof a.mask) == 0 &&
           std::memcmp(a.weights, b.weights, sizeof a.weights) == 0;
  };
  auto widest = [](const Group& g) { return *std::max_element(std::begin(g.mask), std::end(g.mask)); };
  Scaler::Cycle best;
  int bestGroups = 0;
  // The first group or two of a row differ (the edge sample repeated).
  for (int first = 0; first < 4; ++first)
    for (int period : {1, 2, 3, 4, 6, 8, 12}) {
      if (first + period >= n) break;
      int end = first;
      while (end < first + period && groups[end].count == 8) ++end;
      if (end < first + period) continue;
      const int step = groups[first + period].src - groups[first].src;
      while (end < n && alike(groups[end], groups[end - period]) && groups[end].src - groups[end - period].src == step)
        ++end;
      // A unit's operations pair groups g and g + 2; they repeat once 4u is a
      // whole number of periods.
      const int units = period / std::gcd(period, 4);
      if (end - first < 4 * units) continue;
      // Whether group h's pairs lie within the 16 bytes `from` input bytes on.
      auto within = [&](int h, int from) {
        const int d = groups[h].src - from;
        return d >= 0 && d + widest(groups[h]) < 16;
      };
      // One window placement of the second lane that suits every operation:
      // at best one where a unit's four groups share one window (g and g + 1
      // in the first lane, g + 2 and g + 3 in the second).
      int lane1 = -1;
      bool shared = false;
      for (int offset : {0, 8, 16}) {
        bool fits = true;
        for (int u = 0; u < units && fits; ++u) {
          const int g = first + 4 * u, at = groups[g].src;
          fits = within(g + 1, at) && within(g + 2, at + offset) && within(g + 3, at + offset);
        }
        if (fits) {
          lane1 = offset;
          shared = true;
          break;
        }
      }
      for (int offset : {0, 8, 16}) {
        bool fits = true;
        for (int k = 0; k < 2 * units && fits && !shared; ++k) {
          const int g = first + 4 * (k / 2) + k % 2;
          fits = within(g + 2, groups[g].src + offset);
        }
        if (fits && !shared) {
          lane1 = offset;
          break;
        }
      }
      // Units up to the stretch's end whose loads stay within the row.
      auto loadsFit = [&](int g) {
        const int lastByte = lane1 < 0 ? groups[g + 2].src + 16 : groups[g].src + (lane1 == 0 ? 16 : 32);
        return lastByte <= inBytes;
      };
      int whole = 0;
      while (first + 4 * (whole + 1) <= end && loadsFit(first + 4 * whole) && (shared || loadsFit(first + 4 * whole + 1)))
        ++whole;
      // At least one repetition, or the registers would be filled for nothing.
      const int cycles = whole / units;
      if (cycles < 2 || whole * 4 <= bestGroups) continue;
      Scaler::Cycle c;
      c.first = first;
      c.cycles = cycles;
      c.units = units;
      c.extraUnits = whole % units;
      c.advance = step * (4 * units / period);
      c.lane1 = lane1;
      c.shared = shared;
      const int base = groups[first].src;
      for (int k = 0; k < 2 * units; ++k) {
        const Group& g0 = groups[first + 4 * (k / 2) + k % 2];
        const Group& g1 = groups[first + 4 * (k / 2) + k % 2 + 2];
        // Where this operation's window starts: at its first group, or at the
        // unit's when the unit shares one.
        const int at = shared ? groups[first + 4 * (k / 2)].src : g0.src;
        auto& op = c.ops[k];
        const int shift0 = g0.src - at, shift1 = lane1 < 0 ? 0 : g1.src - at - lane1;
        for (int b = 0; b < 16; ++b) {
          op.mask[b] = static_cast<uint8_t>(g0.mask[b] + shift0);
          op.mask[16 + b] = static_cast<uint8_t>(g1.mask[b] + shift1);
          op.weights[b] = g0.weights[b];
          op.weights[16 + b] = g1.weights[b];
        }
        op.src = at - base;
        op.src1 = g1.src - base;
      }
      best = c;
      bestGroups = whole * 4;
    }
  return best;
}

}  // namespace

namespace {

// A 4x enlargement, centre-aligned: between samples k and k + 1 lie outputs
// 4k + 2 ... 4k + 5, at 1/8, 3/8, 5/8 and 7/8 of the way (the bilinear taps
// exactly, 32 / 256 steps); the two outputs at each end repeat the edge sample.
// `mid` is the row without those ends: byte j is output j / ch, channel j % ch.
uint8_t enlargedByFour(const uint8_t* in, int ch, int j) {
  const int pixel = j / ch, c = j % ch, k = pixel / 4, m = pixel % 4;
  return static_cast<uint8_t>((in[k * ch + c] * (7 - 2 * m) + in[(k + 1) * ch + c] * (2 * m + 1) + 4) >> 3);
}

// The same for 8x: outputs 8k + 4 ... 8k + 11 at 1/16, 3/16, ... 15/16 of the
// way (16 / 256 steps), four outputs at each end repeating the edge sample.
uint8_t enlargedByEight(const uint8_t* in, int ch, int j) {
  const int pixel = j / ch, c = j % ch, k = pixel / 8, m = pixel % 8;
  return static_cast<uint8_t>((in[k * ch + c] * (15 - 2 * m) + in[(k + 1) * ch + c] * (2 * m + 1) + 8) >> 4);
}

#if defined(__x86_64__)
// Eight outputs (16 bits each) from the sample pairs `mask` picks out of 16 bytes.
__attribute__((target("ssse3"))) __m128i enlargedEight(const uint8_t* window, __m128i mask, __m128i weights) {
  const __m128i pairs = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(window)), mask);
  return _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(pairs, weights), _mm_set1_epi16(4)), 3);
}

// Eight output bytes take two input bytes, for one channel or two alike; the
// weights in eighths fit byte multiplies. Returns how many bytes were done.
__attribute__((target("ssse3"))) int enlargeByFourSSSE3(const uint8_t* in, int inBytes, uint8_t* mid, int midBytes,
                                                        int ch) {
  const __m128i mask = ch == 1 ? _mm_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 1, 2, 1, 2, 1, 2, 1, 2)
                               : _mm_setr_epi8(0, 2, 1, 3, 0, 2, 1, 3, 0, 2, 1, 3, 0, 2, 1, 3);
  const __m128i weights = ch == 1 ? _mm_setr_epi8(7, 1, 5, 3, 3, 5, 1, 7, 7, 1, 5, 3, 3, 5, 1, 7)
                                  : _mm_setr_epi8(7, 1, 7, 1, 5, 3, 5, 3, 3, 5, 3, 5, 1, 7, 1, 7);
  int j = 0;
  // Both 16-byte loads stay within the row.
  for (; j + 16 <= midBytes && j / 4 + 18 <= inBytes; j += 16) {
    const uint8_t* window = in + j / 4;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(mid + j),
                     _mm_packus_epi16(enlargedEight(window, mask, weights), enlargedEight(window + 2, mask, weights)));
  }
  // The row's end from a padded copy of its last input bytes, stored whole
  // while 16 fit and through a staging block after that.
  const int base = j / 4, rest = inBytes - base;
  alignas(16) uint8_t padded[64] = {};
  if (rest <= 40) {
    std::memcpy(padded, in + base, rest);
    for (; j < midBytes; j += 16) {
      const uint8_t* window = padded + (j / 4 - base);
      const __m128i bytes =
          _mm_packus_epi16(enlargedEight(window, mask, weights), enlargedEight(window + 2, mask, weights));
      if (j + 16 <= midBytes) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mid + j), bytes);
      } else {
        alignas(16) uint8_t staged[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(staged), bytes);
        std::memcpy(mid + j, staged, midBytes - j);
        j = midBytes;
        break;
      }
    }
  }
  return j;
}

// Sixteen output bytes take two input bytes here too: for one channel, eight
// outputs from each of two neighbouring pairs; for two, the eight outputs
// between one pair of pixels, in two halves of different weights. Weights in
// sixteenths.
__attribute__((target("ssse3"))) inline __m128i sixteenthsEight(const uint8_t* window, __m128i mask, __m128i weights) {
  const __m128i pairs = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(window)), mask);
  return _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(pairs, weights), _mm_set1_epi16(8)), 4);
}

__attribute__((target("ssse3"))) __m128i enlargedSixteen(const uint8_t* window, int ch) {
  const auto eight = sixteenthsEight;
  if (ch == 1) {
    const __m128i mask = _mm_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1);
    const __m128i weights = _mm_setr_epi8(15, 1, 13, 3, 11, 5, 9, 7, 7, 9, 5, 11, 3, 13, 1, 15);
    return _mm_packus_epi16(eight(window, mask, weights), eight(window + 1, mask, weights));
  }
  const __m128i mask = _mm_setr_epi8(0, 2, 1, 3, 0, 2, 1, 3, 0, 2, 1, 3, 0, 2, 1, 3);
  return _mm_packus_epi16(eight(window, mask, _mm_setr_epi8(15, 1, 15, 1, 13, 3, 13, 3, 11, 5, 11, 5, 9, 7, 9, 7)),
                          eight(window, mask, _mm_setr_epi8(7, 9, 7, 9, 5, 11, 5, 11, 3, 13, 3, 13, 1, 15, 1, 15)));
}

__attribute__((target("ssse3"))) int enlargeByEightSSSE3(const uint8_t* in, int inBytes, uint8_t* mid, int midBytes,
                                                         int ch) {
  int j = 0;
  for (; j + 16 <= midBytes && j / 8 + 17 <= inBytes; j += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(mid + j), enlargedSixteen(in + j / 8, ch));
  // The row's end from a padded copy of its last input bytes.
  const int base = j / 8, rest = inBytes - base;
  alignas(16) uint8_t padded[48] = {};
  if (rest <= 24) {
    std::memcpy(padded, in + base, rest);
    for (; j < midBytes; j += 16) {
      alignas(16) uint8_t staged[16];
      _mm_store_si128(reinterpret_cast<__m128i*>(staged), enlargedSixteen(padded + (j / 8 - base), ch));
      std::memcpy(mid + j, staged, std::min(16, midBytes - j));
    }
    j = midBytes;
  }
  return j;
}
#endif

#if defined(__x86_64__)
// The eight rows between rows a and b of an exact 8x enlargement down the
// columns, at 1/16 ... 15/16 of the way (as enlargedByEight): the pairs are
// unpacked once for all eight. Returns how many bytes of each row were done.
__attribute__((target("avx2"))) int enlargeRowsByEightAVX2(const uint8_t* a, const uint8_t* b, uint8_t* d,
                                                           int dstStride, int n) {
  const __m256i round = _mm256_set1_epi16(8);
  auto block = [&](int x) __attribute__((target("avx2"))) {
    const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + x));
    const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + x));
    const __m256i lo = _mm256_unpacklo_epi8(va, vb), hi = _mm256_unpackhi_epi8(va, vb);
    for (int m = 0; m < 8; ++m) {
      const __m256i w = _mm256_set1_epi16(static_cast<short>(((2 * m + 1) << 8) | (15 - 2 * m)));
      const __m256i l = _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(lo, w), round), 4);
      const __m256i h = _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(hi, w), round), 4);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + static_cast<ptrdiff_t>(m) * dstStride + x),
                          _mm256_packus_epi16(l, h));
    }
  };
  if (n < 32) return 0;
  int x = 0;
  for (; x + 32 <= n; x += 32) block(x);
  // The end as one more block overlapping the last (outputs come out the same).
  if (x < n) block(n - 32);
  return n;
}
#endif

// An exact 8x enlargement down the columns of rows n bytes wide: four rows at
// each end repeat the edge row. False (nothing done) where the processor lacks it.
bool enlargeRowsByEight(const uint8_t* src, int srcStride, int srcRows, uint8_t* dst, int dstStride, int n) {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (!avx2 || n < 32 || srcRows < 2) return false;
  auto row = [&](int y) { return dst + static_cast<ptrdiff_t>(y) * dstStride; };
  const uint8_t* lastRow = src + static_cast<ptrdiff_t>(srcRows - 1) * srcStride;
  for (int y = 0; y < 4; ++y) {
    std::memcpy(row(y), src, n);
    std::memcpy(row(8 * srcRows - 4 + y), lastRow, n);
  }
  for (int k = 0; k + 1 < srcRows; ++k) {
    const uint8_t* a = src + static_cast<ptrdiff_t>(k) * srcStride;
    enlargeRowsByEightAVX2(a, a + srcStride, row(8 * k + 4), dstStride, n);
  }
  return true;
#else
  return false;
#endif
}

// A 4x or 8x enlargement of one row.
void enlargeRow(const uint8_t* in, int sw, uint8_t* out, int ch, int factor) {
  const int inBytes = sw * ch, outBytes = factor * inBytes, end = factor / 2 * ch;
  for (int b = 0; b < end; ++b) {
    out[b] = in[b % ch];
    out[outBytes - end + b] = in[inBytes - ch + b % ch];
  }
  uint8_t* mid = out + end;
  const int midBytes = outBytes - 2 * end;
  int j = 0;
#if defined(__x86_64__)
  if (hasShuffles())
    j = factor == 4 ? enlargeByFourSSSE3(in, inBytes, mid, midBytes, ch) : enlargeByEightSSSE3(in, inBytes, mid, midBytes, ch);
#endif
  for (; j < midBytes; ++j) mid[j] = factor == 4 ? enlargedByFour(in, ch, j) : enlargedByEight(in, ch, j);
}

}  // namespace

const Scaler::Groups* Scaler::groupsFor(int sw, int dw, int ch) {
  for (auto& g : groups_)
    if (g.sw == sw && g.dw == dw && g.channels == ch) return g.usable ? &g : nullptr;
  Groups& g = groups_[nextGroups_];
  nextGroups_ = (nextGroups_ + 1) % groups_.size();
  g.usable = buildGroups(sw, dw, ch, g.list);
  g.cycle = g.usable ? findCycle(g.list, sw * ch) : Cycle{};
  g.end = g.usable ? buildEndBlock(sw, dw, ch) : std::nullopt;
  g.sw = sw;
  g.dw = dw;
  g.channels = ch;
  return g.usable ? &g : nullptr;
}

bool Scaler::scalePlaneByShuffles(const uint8_t* src, int srcStride, int sw, int sh, uint8_t* dst, int dstStride,
                                  int dw, int dh, int ch) {
  if (sw == dw || ch < 1 || ch > 2) return false;
  const int factor = sw >= 2 && (dw == 4 * sw || dw == 8 * sw) ? dw / sw : 0;
  const Groups* groups = nullptr;
  if (!factor) {
    if (!hasShuffles()) return false;
    groups = groupsFor(sw, dw, ch);
    if (!groups) return false;
  }
  const int inBytes = sw * ch, outBytes = dw * ch;
  auto across = [&](const uint8_t* in, uint8_t* out) {
    if (factor)
      enlargeRow(in, sw, out, ch, factor);
    else
      shuffleRow(in, inBytes, out, outBytes, groups->list, groups->cycle, groups->end);
  };
  if (dh <= sh) {
    // Row by row: a row taken whole is filtered straight from the source, a
    // blended one through a single row of scratch that stays in cache.
    uint8_t* blended = nullptr;
    Tap next = tap(0, sh, dh);
    for (int y = 0; y < dh; ++y) {
      const Tap t = next;
      const uint8_t* r0 = src + static_cast<ptrdiff_t>(t.index) * srcStride;
      // The next row's source rows on their way into the cache meanwhile: a
      // source picture is usually not there yet.
      if (y + 1 < dh) {
        next = tap(y + 1, sh, dh);
        const uint8_t* ahead = src + static_cast<ptrdiff_t>(next.index) * srcStride;
        for (int x = 0; x < inBytes; x += 64) {
          __builtin_prefetch(ahead + x);
          __builtin_prefetch(ahead + srcStride + x);
        }
      }
      if (t.fraction != 0) {
        if (!blended) blended = rows_.get(static_cast<size_t>(aligned(inBytes)));
        blendRow(r0, r0 + srcStride, blended, inBytes, t.fraction);
        r0 = blended;
      }
      across(r0, dst + static_cast<ptrdiff_t>(y) * dstStride);
    }
  } else if (dh == 8 * sh) {
    const int stride = aligned(outBytes);
    uint8_t* rows = rows_.get(static_cast<size_t>(stride) * sh);
    for (int y = 0; y < sh; ++y)
      across(src + static_cast<ptrdiff_t>(y) * srcStride, rows + static_cast<ptrdiff_t>(y) * stride);
    if (!enlargeRowsByEight(rows, stride, sh, dst, dstStride, outBytes))
      interpolateRows(rows, stride, sh, dst, dstStride, dh, outBytes);
  } else {
    // Row by row as well: each source row is filtered across once, into one of
    // two scratch rows that stay in cache while the output rows between it and
    // the next are blended, instead of a whole filtered picture that does not.
    // Taps only move down, and a blended row's two rows differ in parity.
    const int stride = aligned(outBytes);
    uint8_t* pair = rows_.get(static_cast<size_t>(stride) * 2);
    int held[2] = {-1, -1};
    auto filtered = [&](int index) {
      uint8_t* row = pair + static_cast<ptrdiff_t>(index & 1) * stride;
      if (held[index & 1] != index) {
        across(src + static_cast<ptrdiff_t>(index) * srcStride, row);
        held[index & 1] = index;
      }
      return row;
    };
    // Two output rows between the same pair (as most are when enlarging by
    // less than two) are blended in one pass over it.
    Tap next = tap(0, sh, dh);
    for (int y = 0; y < dh; ++y) {
      const Tap t = next;
      if (y + 1 < dh) next = tap(y + 1, sh, dh);
      const uint8_t* r0 = filtered(t.index);
      const uint8_t* r1 = t.fraction ? filtered(t.index + 1) : r0;
      uint8_t* d = dst + static_cast<ptrdiff_t>(y) * dstStride;
      if (t.fraction && y + 1 < dh && next.index == t.index && next.fraction) {
        blendRowPair(r0, r1, d, t.fraction, d + dstStride, next.fraction, outBytes);
        if (++y + 1 < dh) next = tap(y + 1, sh, dh);
      } else {
        blendRow(r0, r1, d, outBytes, t.fraction);
      }
    }
  }
  return true;
}

bool Scaler::isQuarter(int sw, int sh, int dw, int dh) { return dw > 0 && dh > 0 && sw == 4 * dw && sh == 4 * dh; }

void Scaler::scalePlane(const uint8_t* src, int srcStride, int sw, int sh, uint8_t* dst, int dstStride, int dw,
                        int dh, int ch, bool byShuffles) {
  if (sw == dw) {
    interpolateRows(src, srcStride, sh, dst, dstStride, dh, sw * ch);
    return;
  }
  if (byShuffles && scalePlaneByShuffles(src, srcStride, sw, sh, dst, dstStride, dw, dh, ch)) return;
  // Columns are scaled as rows of the transposed picture. Rows first suits
  // shrinking, columns first suits enlarging: whichever moves fewer bytes.
  const double rowsFirst = 2.0 * sw * dh + 2.0 * dw * dh;
  const double columnsFirst = double(sw) * sh + 2.0 * dw * sh + double(dw) * dh;
  const bool rowsBefore = sh != dh && rowsFirst <= columnsFirst;

  const uint8_t* in = src;
  int inStride = srcStride, inRows = sh;
  if (rowsBefore) {
    const int stride = aligned(sw * ch);
    uint8_t* rows = rows_.get(static_cast<size_t>(stride) * dh);
    interpolateRows(src, srcStride, sh, rows, stride, dh, sw * ch);
    in = rows;
    inStride = stride;
    inRows = dh;
  }
  // Transpose (splitting chroma), scale the transposed rows, transpose back.
  const int tStride = aligned(inRows);
  uint8_t* transposed[2] = {};
  uint8_t* scaled[2] = {};
  for (int c = 0; c < ch; ++c) {
    transposed[c] = transposed_[c].get(static_cast<size_t>(tStride) * sw);
    scaled[c] = scaled_[c].get(static_cast<size_t>(tStride) * dw);
  }
  if (ch == 1)
    libyuv::TransposePlane(in, inStride, transposed[0], tStride, sw, inRows);
  else
    libyuv::SplitTransposeUV(in, inStride, transposed[0], tStride, transposed[1], tStride, sw, inRows);
  for (int c = 0; c < ch; ++c) interpolateRows(transposed[c], tStride, sw, scaled[c], tStride, dw, inRows);

  uint8_t* out = dst;
  int outStride = dstStride;
  if (!rowsBefore && sh != dh) {
    outStride = aligned(dw * ch);
    out = rows_.get(static_cast<size_t>(outStride) * sh);
  }
  if (ch == 1) {
    libyuv::TransposePlane(scaled[0], tStride, out, outStride, inRows, dw);
  } else {
    const int bStride = aligned(dw);
    uint8_t* back[2];
    for (int c = 0; c < 2; ++c) {
      back[c] = back_[c].get(static_cast<size_t>(bStride) * inRows);
      libyuv::TransposePlane(scaled[c], tStride, back[c], bStride, inRows, dw);
    }
    libyuv::MergeUVPlane(back[0], bStride, back[1], bStride, out, outStride, dw, inRows);
  }
  if (out != dst) interpolateRows(out, outStride, sh, dst, dstStride, dh, dw * ch);
}

void Scaler::scale(const NV12Frame& src, const NV12Frame& dst) {
  if (src.isEmpty() || dst.isEmpty()) return;
  if (isQuarter(src.width, src.height, dst.width, dst.height)) {
    libyuv::ScalePlane(src.y, src.strideY, src.width, src.height, dst.y, dst.strideY, dst.width, dst.height,
                       libyuv::kFilterBox);
    libyuv::UVScale(src.uv, src.strideUV, src.chromaWidth(), src.chromaHeight(), dst.uv, dst.strideUV,
                    dst.chromaWidth(), dst.chromaHeight(), libyuv::kFilterBox);
    return;
  }
  scaleSeparably(src, dst);
}

void Scaler::scaleSeparably(const NV12Frame& src, const NV12Frame& dst, bool byShuffles) {
  if (src.isEmpty() || dst.isEmpty()) return;
  scalePlane(src.y, src.strideY, src.width, src.height, dst.y, dst.strideY, dst.width, dst.height, 1, byShuffles);
  scalePlane(src.uv, src.strideUV, src.chromaWidth(), src.chromaHeight(), dst.uv, dst.strideUV, dst.chromaWidth(),
             dst.chromaHeight(), 2, byShuffles);
}

}  // namespace quarzadel::nv12
