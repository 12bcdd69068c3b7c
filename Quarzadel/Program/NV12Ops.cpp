// The per-sample loops below are written to vectorise; the default optimisation
// level would leave most of them scalar.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif
#include "Quarzadel/Program/NV12Ops.h"

#include "Platform/Media/PixelConversion.h"

#include <libyuv/planar_functions.h>
#include <libyuv/rotate.h>
#include <libyuv/scale.h>
#include <libyuv/scale_uv.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>  // byte shuffles, used where the processor has them
#endif

namespace quarzadel::nv12 {

namespace {

uint8_t clampByte(int v, int lo = 0, int hi = 255) { return static_cast<uint8_t>(std::clamp(v, lo, hi)); }

// Luma weights (Kr, Kb) of a YCbCr matrix.
struct Weights {
  double kr;
  double kb;
};

Weights weightsOf(platform::YCbCrMatrix m) {
  using M = platform::YCbCrMatrix;
  switch (m) {
    case M::itu_r_601_4: return {0.299, 0.114};
    case M::smpte_240m_1995: return {0.212, 0.087};
    case M::itu_r_2020: return {0.2627, 0.0593};
    case M::itu_r_709_2:
    case M::unspecified: break;
  }
  return {0.2126, 0.0722};
}

// Normalised YCbCr (Y 0...1, Cb/Cr -0.5...0.5) of one matrix to RGB and back.
using Mat3 = std::array<std::array<double, 3>, 3>;

Mat3 toYCbCr(Weights w) {
  const double kg = 1 - w.kr - w.kb;
  return {{{w.kr, kg, w.kb},
           {-w.kr / (2 * (1 - w.kb)), -kg / (2 * (1 - w.kb)), 0.5},
           {0.5, -kg / (2 * (1 - w.kr)), -w.kb / (2 * (1 - w.kr))}}};
}

Mat3 toRGB(Weights w) {
  const double kg = 1 - w.kr - w.kb;
  const double crR = 2 * (1 - w.kr);
  const double cbB = 2 * (1 - w.kb);
  return {{{1, 0, crR}, {1, -w.kb * cbB / kg, -w.kr * crR / kg}, {1, cbB, 0}}};
}

Mat3 multiply(const Mat3& a, const Mat3& b) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
  return r;
}

}  // namespace

void fill(const NV12Frame& dst, YCbCr color) {
  if (dst.isEmpty()) return;
  libyuv::SetPlane(dst.y, dst.strideY, dst.width, dst.height, color.y);
  uint8_t* first = dst.uv;
  for (int x = 0; x < dst.chromaWidth(); ++x) {
    first[2 * x] = color.cb;
    first[2 * x + 1] = color.cr;
  }
  for (int row = 1; row < dst.chromaHeight(); ++row)
    std::memcpy(dst.uv + static_cast<ptrdiff_t>(row) * dst.strideUV, first, dst.chromaWidth() * 2);
}

void scale(const NV12Frame& src, const NV12Frame& dst, bool smoothShrink) {
  if (src.isEmpty() || dst.isEmpty()) return;
  const bool shrinking = dst.width < src.width || dst.height < src.height;
  libyuv::NV12Scale(src.y, src.strideY, src.uv, src.strideUV, src.width, src.height, dst.y, dst.strideY, dst.uv,
                    dst.strideUV, dst.width, dst.height,
                    smoothShrink && shrinking ? libyuv::kFilterBox : libyuv::kFilterBilinear);
}

namespace {

#if defined(__x86_64__)
// Weights (256 - f, f) as unsigned bytes against samples made signed by
// flipping their top bit: the products' sum is exactly 32768 short, so a
// rounding high multiply by 128, (x + 128) >> 8, gives the result less 128,
// which signed packing keeps and flipping the top bit again restores. f must
// be 1...255. At 128 the blend is exactly (a + b + 1) >> 1, a byte average.
__attribute__((target("avx2"))) inline __m256i blendedAVX2(__m256i lo, __m256i hi, __m256i w) {
  const __m256i scale = _mm256_set1_epi16(128), top = _mm256_set1_epi8(static_cast<char>(0x80));
  return _mm256_xor_si256(_mm256_packs_epi16(_mm256_mulhrs_epi16(_mm256_maddubs_epi16(w, lo), scale),
                                             _mm256_mulhrs_epi16(_mm256_maddubs_epi16(w, hi), scale)),
                          top);
}

__attribute__((target("avx2"))) inline __m256i blendWeightsAVX2(int f) {
  return _mm256_set1_epi16(static_cast<short>((f << 8) | (256 - f)));
}

// block(at) for each whole 32-byte block of n, two a step: for the lightest
// blocks the loop's own counting is most of what is left. Returns the bytes done.
template <typename Block>
__attribute__((always_inline)) inline int inBlocksOf32(int n, Block&& block) {
  int x = 0;
  for (; x + 64 <= n; x += 64) {
    block(x);
    block(x + 32);
  }
  if (x + 32 <= n) {
    block(x);
    x += 32;
  }
  return x;
}

__attribute__((target("avx2"))) int blendRowAVX2(const uint8_t* r0, const uint8_t* r1, uint8_t* d, int n, int f) {
  int x = 0;
  if (f == 128) {
    auto average = [&](int at) __attribute__((target("avx2"))) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + at),
                          _mm256_avg_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + at)),
                                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + at))));
    };
    return inBlocksOf32(n, average);
  }
  const __m256i w = blendWeightsAVX2(f), top = _mm256_set1_epi8(static_cast<char>(0x80));
  for (; x + 32 <= n; x += 32) {
    const __m256i a = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + x)), top);
    const __m256i b = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + x)), top);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + x),
                        blendedAVX2(_mm256_unpacklo_epi8(a, b), _mm256_unpackhi_epi8(a, b), w));
  }
  return x;
}

// Two rows from the same pair at two fractions (neither 0), the pair read and
// interleaved once for both.
__attribute__((target("avx2"))) int blendRowPairAVX2(const uint8_t* r0, const uint8_t* r1, uint8_t* d0, int f0,
                                                     uint8_t* d1, int f1, int n) {
  const __m256i w0 = blendWeightsAVX2(f0), w1 = blendWeightsAVX2(f1), top = _mm256_set1_epi8(static_cast<char>(0x80));
  auto block = [&](int at) __attribute__((target("avx2"))) {
    const __m256i a = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + at)), top);
    const __m256i b = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + at)), top);
    const __m256i lo = _mm256_unpacklo_epi8(a, b), hi = _mm256_unpackhi_epi8(a, b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d0 + at), blendedAVX2(lo, hi, w0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d1 + at), blendedAVX2(lo, hi, w1));
  };
  return inBlocksOf32(n, block);
}

__attribute__((target("ssse3"))) int blendRowSSSE3(const uint8_t* r0, const uint8_t* r1, uint8_t* d, int n, int f) {
  int x = 0;
  if (f == 128) {
    for (; x + 16 <= n; x += 16)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x)),
                                                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x))));
    return x;
  }
  const __m128i w = _mm_set1_epi16(static_cast<short>((f << 8) | (256 - f)));
  const __m128i offset = _mm_set1_epi8(static_cast<char>(0x80)), round = _mm_set1_epi16(static_cast<short>(0x8080));
  for (; x + 16 <= n; x += 16) {
    const __m128i a = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x)), offset);
    const __m128i b = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x)), offset);
    const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(w, _mm_unpacklo_epi8(a, b)), round), 8);
    const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(w, _mm_unpackhi_epi8(a, b)), round), 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_packus_epi16(lo, hi));
  }
  return x;
}
#endif

bool hasAVX2() {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
#else
  return false;
#endif
}

}  // namespace

void blendRow(const uint8_t* r0, const uint8_t* r1, uint8_t* d, int n, int fraction) {
  if (fraction <= 0) {
    std::memmove(d, r0, n);
    return;
  }
  int x = 0;
#if defined(__x86_64__)
  // The row's end as one more block overlapping the last one: its outputs
  // come out the same, since `d` never overlaps the rows it is made from.
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (hasAVX2() && n >= 32) {
    if (blendRowAVX2(r0, r1, d, n, fraction) < n) blendRowAVX2(r0 + n - 32, r1 + n - 32, d + n - 32, 32, fraction);
    return;
  }
  if (ssse3 && n >= 16) {
    if (blendRowSSSE3(r0, r1, d, n, fraction) < n) blendRowSSSE3(r0 + n - 16, r1 + n - 16, d + n - 16, 16, fraction);
    return;
  }
#endif
  for (; x < n; ++x) d[x] = static_cast<uint8_t>((r0[x] * (256 - fraction) + r1[x] * fraction + 128) >> 8);
}

void blendRowPair(const uint8_t* r0, const uint8_t* r1, uint8_t* d0, int fraction0, uint8_t* d1, int fraction1,
                  int n) {
#if defined(__x86_64__)
  // Worth it where neither row is a plain copy or a byte average.
  if (hasAVX2() && n >= 32 && fraction0 > 0 && fraction1 > 0 && fraction0 != 128 && fraction1 != 128) {
    if (blendRowPairAVX2(r0, r1, d0, fraction0, d1, fraction1, n) < n)
      blendRowPairAVX2(r0 + n - 32, r1 + n - 32, d0 + n - 32, fraction0, d1 + n - 32, fraction1, 32);
    return;
  }
#endif
  blendRow(r0, r1, d0, n, fraction0);
  blendRow(r0, r1, d1, n, fraction1);
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

int aligned(int bytes) { return (bytes + 63) & ~63; }

}  // namespace

uint8_t* ScratchBytes::get(size_t bytes) {
  if (bytes > size_) {
    data_.reset(new uint8_t[bytes]);  // uninitialised on purpose
    size_ = bytes;
  }
  return data_.get();
}

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
// high multiply by 128 gives each output less 128 (see blendedAVX2).
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

bool hasShuffles() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}
#else
void shuffleRow(const uint8_t*, int, uint8_t*, int, const std::vector<Scaler::ShuffleGroup>&, const Scaler::Cycle&,
                const std::optional<Scaler::EndBlock>&) {}
bool hasShuffles() { return false; }
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

void interpolate(const NV12Frame& from, const NV12Frame& to, const NV12Frame& dst, double t) {
  if (from.isEmpty() || to.isEmpty() || dst.isEmpty()) return;
  const int f = static_cast<int>(std::lround(std::clamp(t, 0.0, 1.0) * 256));
  const NV12Frame& whole = f <= 0 ? from : to;
  if (f <= 0 || f >= 256) {
    if (whole.y != dst.y)
      libyuv::NV12Copy(whole.y, whole.strideY, whole.uv, whole.strideUV, dst.y, dst.strideY, dst.uv, dst.strideUV,
                       dst.width, dst.height);
    return;
  }
  libyuv::InterpolatePlane(from.y, from.strideY, to.y, to.strideY, dst.y, dst.strideY, dst.width, dst.height, f);
  libyuv::InterpolatePlane(from.uv, from.strideUV, to.uv, to.strideUV, dst.uv, dst.strideUV, dst.chromaWidth() * 2,
                           dst.chromaHeight(), f);
}

namespace {

uint8_t toneLuma(int v, const ToneTable::Arithmetic& a) { return clampByte(v + a.lumaOffset, 16, 235); }

uint8_t toneChroma(int v, const ToneTable::Arithmetic& a) {
  return clampByte((((v - 128) * a.chromaGain + a.chromaBias) >> 15), 16, 240);
}

#if defined(__SSE2__)
// Sixteen samples at a time; returns how many were done.
int toneLumaRow(uint8_t* p, int count, const ToneTable::Arithmetic& a) {
  const __m128i amount = _mm_set1_epi8(static_cast<char>(std::abs(a.lumaOffset)));
  const __m128i lo = _mm_set1_epi8(16), hi = _mm_set1_epi8(static_cast<char>(235));
  int x = 0;
  for (; x + 16 <= count; x += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
    v = a.lumaOffset < 0 ? _mm_subs_epu8(v, amount) : _mm_adds_epu8(v, amount);
    v = _mm_min_epu8(_mm_max_epu8(v, lo), hi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + x), v);
  }
  return x;
}

int toneChromaRow(uint8_t* p, int count, const ToneTable::Arithmetic& a) {
  const __m128i zero = _mm_setzero_si128(), centre = _mm_set1_epi16(128);
  const __m128i gain = _mm_set1_epi16(static_cast<short>(a.chromaGain)), bias = _mm_set1_epi32(a.chromaBias);
  const __m128i lo = _mm_set1_epi8(16), hi = _mm_set1_epi8(static_cast<char>(240));
  // (d x gain + bias) >> 15 on 32-bit products, eight samples at a time.
  auto eight = [&](__m128i v) {
    const __m128i d = _mm_sub_epi16(v, centre);
    const __m128i low = _mm_mullo_epi16(d, gain), high = _mm_mulhi_epi16(d, gain);
    const __m128i p0 = _mm_srai_epi32(_mm_add_epi32(_mm_unpacklo_epi16(low, high), bias), 15);
    const __m128i p1 = _mm_srai_epi32(_mm_add_epi32(_mm_unpackhi_epi16(low, high), bias), 15);
    return _mm_packs_epi32(p0, p1);
  };
  int x = 0;
  for (; x + 16 <= count; x += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
    __m128i r = _mm_packus_epi16(eight(_mm_unpacklo_epi8(v, zero)), eight(_mm_unpackhi_epi8(v, zero)));
    r = _mm_min_epu8(_mm_max_epu8(r, lo), hi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + x), r);
  }
  return x;
}
#endif

}  // namespace

ToneTable ToneTable::colorControls(double brightness, double saturation) {
  ToneTable t{};
  for (int v = 0; v < 256; ++v) {
    const double y = v + brightness * 219;
    t.luma[v] = clampByte(static_cast<int>(std::lround(y)), 16, 235);
    const double c = 128 + (v - 128) * saturation;
    t.chroma[v] = clampByte(static_cast<int>(std::lround(c)), 16, 240);
  }
  // The arithmetic form, kept only when it reproduces both tables entry for
  // entry. The gain in 1/32768 is inexact; a gain rounded up with a small bias
  // keeps values that lie exactly halfway rounding up, as the tables do.
  const int offset = static_cast<int>(std::lround(brightness * 219));
  const double gain = saturation * 32768;
  const int base = (128 << 15) + (1 << 14);
  for (const auto& [g, bias] : {std::pair{std::ceil(gain), 128}, std::pair{std::floor(gain), -128},
                                std::pair{std::round(gain), 0}}) {
    if (std::abs(offset) > 255 || !(g >= 0 && g < 32768)) break;
    const ToneTable::Arithmetic form{offset, static_cast<int>(g), base + bias};
    bool exact = true;
    for (int v = 0; v < 256 && exact; ++v)
      exact = t.luma[v] == toneLuma(v, form) && t.chroma[v] == toneChroma(v, form);
    if (exact) {
      t.arithmetic = form;
      break;
    }
  }
  return t;
}

namespace {

// The table's luma or chroma part on `rows` rows of `bytes`.
void tonePlane(uint8_t* plane, int stride, int bytes, int rows, const ToneTable& table, bool luma) {
  const auto& entries = luma ? table.luma : table.chroma;
  for (int row = 0; row < rows; ++row) {
    uint8_t* p = plane + static_cast<ptrdiff_t>(row) * stride;
    int x = 0;
#if defined(__SSE2__)
    if (table.arithmetic)
      x = luma ? toneLumaRow(p, bytes, *table.arithmetic) : toneChromaRow(p, bytes, *table.arithmetic);
#endif
    for (; x < bytes; ++x) p[x] = entries[p[x]];
  }
}

}  // namespace

void apply(const NV12Frame& f, const ToneTable& table) {
  if (f.isEmpty()) return;
  tonePlane(f.y, f.strideY, f.width, f.height, table, true);
  tonePlane(f.uv, f.strideUV, f.chromaWidth() * 2, f.chromaHeight(), table, false);
}

std::array<int, 3> Blur::boxRadii(double sigma) {
  constexpr int n = 3;
  if (!(sigma > 0)) return {0, 0, 0};
  const double wIdeal = std::sqrt(12 * sigma * sigma / n + 1);
  int wl = static_cast<int>(std::floor(wIdeal));
  if (wl % 2 == 0) --wl;
  const int wu = wl + 2;
  const double mIdeal = (12 * sigma * sigma - n * wl * wl - 4.0 * n * wl - 3.0 * n) / (-4.0 * wl - 4);
  const int m = static_cast<int>(std::lround(mIdeal));
  std::array<int, 3> radii{};
  for (int i = 0; i < n; ++i) radii[i] = ((i < m ? wl : wu) - 1) / 2;
  return radii;
}

namespace {

#if defined(__x86_64__)
// Sixteen outputs at a time from two rows of 32 bytes: neighbours (or, for
// interleaved chroma, samples two bytes apart, paired first by a shuffle) added
// as byte pairs; returns how many outputs were made.
__attribute__((target("ssse3"))) inline __m128i pairSums(const uint8_t* p, __m128i order) {
  return _mm_maddubs_epi16(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), order),
                           _mm_set1_epi8(1));
}

__attribute__((target("ssse3"))) int halveRowSSSE3(const uint8_t* r0, const uint8_t* r1, uint8_t* d, int outBytes,
                                                   int ch) {
  const __m128i two = _mm_set1_epi16(2);
  const __m128i order = ch == 1 ? _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)
                                : _mm_setr_epi8(0, 2, 1, 3, 4, 6, 5, 7, 8, 10, 9, 11, 12, 14, 13, 15);
  int x = 0;
  for (; x + 16 <= outBytes; x += 16) {
    const uint8_t *a = r0 + 2 * x, *b = r1 + 2 * x;
    const __m128i lo = _mm_add_epi16(_mm_add_epi16(pairSums(a, order), pairSums(b, order)), two);
    const __m128i hi = _mm_add_epi16(_mm_add_epi16(pairSums(a + 16, order), pairSums(b + 16, order)), two);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_packus_epi16(_mm_srli_epi16(lo, 2), _mm_srli_epi16(hi, 2)));
  }
  return x;
}
#endif

// Each sample the rounded mean of a 2 x 2 block; an odd last row or column is
// paired with itself. One channel, or two interleaved.
void halvePlane(const uint8_t* src, int srcStride, int samples, int rows, uint8_t* dst, int dstStride, int ch) {
  const int outSamples = (samples + 1) / 2, outRows = (rows + 1) / 2, pairs = samples / 2;
  for (int y = 0; y < outRows; ++y) {
    const uint8_t* r0 = src + static_cast<ptrdiff_t>(2 * y) * srcStride;
    const uint8_t* r1 = 2 * y + 1 < rows ? r0 + srcStride : r0;
    uint8_t* d = dst + static_cast<ptrdiff_t>(y) * dstStride;
    int x = 0;
#if defined(__x86_64__)
    if (hasShuffles()) x = halveRowSSSE3(r0, r1, d, pairs * ch, ch);
#endif
    for (; x < pairs * ch; ++x) {
      const int at = 2 * x - x % ch;
      d[x] = static_cast<uint8_t>((r0[at] + r0[at + ch] + r1[at] + r1[at + ch] + 2) >> 2);
    }
    for (int c = 0; c < ch && pairs < outSamples; ++c) {
      const int at = 2 * pairs * ch + c;
      d[pairs * ch + c] = static_cast<uint8_t>((r0[at] + r1[at] + 1) >> 1);
    }
  }
}

}  // namespace

void Blur::applyFullSize(const NV12Frame& f, double sigma) {
  if (f.isEmpty() || !(sigma > 0)) return;
  blurPlane(f.y, f.strideY, f.width, f.height, 1, boxRadii(sigma), false);
  blurPlane(f.uv, f.strideUV, f.chromaWidth(), f.chromaHeight(), 2, boxRadii(sigma / 2), false);
}

Blur::Halved Blur::blurHalved(const NV12Frame& f, double sigma, const ToneTable* tone) {
  // Box-averaged down (centre-aligned; an odd last sample paired with itself),
  // chroma split into two planes while small.
  Halved p;
  p.w = (f.width + 1) / 2;
  p.h = (f.height + 1) / 2;
  p.cw = (f.chromaWidth() + 1) / 2;
  p.ch = (f.chromaHeight() + 1) / 2;
  p.yStride = aligned(p.w);
  p.cStride = aligned(p.cw);
  p.uvStride = aligned(2 * p.cw);
  const size_t yBytes = static_cast<size_t>(p.yStride) * p.h, cBytes = static_cast<size_t>(p.cStride) * p.ch;
  p.y = half_.get(yBytes + 2 * cBytes);
  p.u = p.y + yBytes;
  p.v = p.u + cBytes;
  p.uv = halfUV_.get(static_cast<size_t>(p.uvStride) * p.ch);
  halvePlane(f.y, f.strideY, f.width, f.height, p.y, p.yStride, 1);
  halvePlane(f.uv, f.strideUV, f.chromaWidth(), f.chromaHeight(), p.uv, p.uvStride, 2);
  libyuv::SplitUVPlane(p.uv, p.uvStride, p.u, p.cStride, p.v, p.cStride, p.cw, p.ch);

  const auto lumaRadii = boxRadii(sigma / 2), chromaRadii = boxRadii(sigma / 4);
  blurPlane(p.y, p.yStride, p.w, p.h, 1, lumaRadii, true);
  blurPlane(p.u, p.cStride, p.cw, p.ch, 1, chromaRadii, true);
  blurPlane(p.v, p.cStride, p.cw, p.ch, 1, chromaRadii, true);
  if (tone) {
    tonePlane(p.y, p.yStride, p.w, p.h, *tone, true);
    tonePlane(p.u, p.cStride, p.cw, p.ch, *tone, false);
    tonePlane(p.v, p.cStride, p.cw, p.ch, *tone, false);
  }
  return p;
}

void Blur::apply(const NV12Frame& f, double sigma, const ToneTable* tone) {
  if (f.isEmpty()) return;
  if (!(sigma >= kHalfSizeSigma) || f.width < 4 || f.height < 4) {
    applyFullSize(f, sigma);
    if (tone) nv12::apply(f, *tone);
    return;
  }
  // Enlarged back exactly twice (an odd last sample reaching half out), so
  // that nothing shifts.
  const Halved p = blurHalved(f, sigma, tone);
  const int cw = f.chromaWidth(), ch = f.chromaHeight(), wideStride = aligned(cw);
  const size_t wideBytes = static_cast<size_t>(wideStride) * ch;
  uint8_t* wideU = wide_.get(2 * wideBytes);
  uint8_t* wideV = wideU + wideBytes;
  libyuv::ScalePlane(p.y, p.yStride, p.w, p.h, f.y, f.strideY, f.width, f.height, libyuv::kFilterBilinear);
  libyuv::ScalePlane(p.u, p.cStride, p.cw, p.ch, wideU, wideStride, cw, ch, libyuv::kFilterBilinear);
  libyuv::ScalePlane(p.v, p.cStride, p.cw, p.ch, wideV, wideStride, cw, ch, libyuv::kFilterBilinear);
  libyuv::MergeUVPlane(wideU, wideStride, wideV, wideStride, f.uv, f.strideUV, cw, ch);
}

NV12Frame Blur::halfSize(const NV12Frame& f, double sigma, const ToneTable* tone) {
  if (f.isEmpty()) return {};
  const Halved p = blurHalved(f, sigma, tone);
  const NV12Frame out{p.y, p.yStride, p.uv, p.uvStride, p.w, p.h};
  libyuv::MergeUVPlane(p.u, p.cStride, p.v, p.cStride, out.uv, out.strideUV, p.cw, p.ch);
  return out;
}

namespace {

// One box pass down the columns, `src` to `dst`, with a running sum per byte
// column; rows beyond the edges repeat the edge row. 16-bit sums (radius at most
// 127) so that the loop vectorises eight or more columns at a time.
// One output row of a box pass: d = (acc + half) / box size, then acc += add - sub;
// returns how many columns were done.
int boxRowSSE2(uint16_t* acc, const uint8_t* add, const uint8_t* sub, uint8_t* d, int rowBytes, uint16_t half,
               uint16_t mul) {
  int x = 0;
#if defined(__SSE2__)
  // Eight columns at a time; the division by the box size is a 16-bit high multiply.
  const __m128i zero = _mm_setzero_si128(), halfv = _mm_set1_epi16(static_cast<short>(half)),
                mulv = _mm_set1_epi16(static_cast<short>(mul));
  for (; x + 8 <= rowBytes; x += 8) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + x));
    const __m128i q = _mm_mulhi_epu16(_mm_add_epi16(a, halfv), mulv);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + x), _mm_packus_epi16(q, zero));
    const __m128i in = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(add + x)), zero);
    const __m128i out = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(sub + x)), zero);
    a = _mm_sub_epi16(_mm_add_epi16(a, in), out);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(acc + x), a);
  }
#endif
  return x;
}

#if defined(__x86_64__)
// The same, sixteen columns at a time.
__attribute__((target("avx2"))) int boxRowAVX2(uint16_t* acc, const uint8_t* add, const uint8_t* sub, uint8_t* d,
                                               int rowBytes, uint16_t half, uint16_t mul) {
  const __m256i halfv = _mm256_set1_epi16(static_cast<short>(half)), mulv = _mm256_set1_epi16(static_cast<short>(mul));
  int x = 0;
  for (; x + 16 <= rowBytes; x += 16) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + x));
    const __m256i q = _mm256_mulhi_epu16(_mm256_add_epi16(a, halfv), mulv);
    // Packing works within each 128-bit half: the bytes wanted are the low 8 of each.
    const __m256i packed = _mm256_packus_epi16(q, q);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x),
                     _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08)));
    const __m256i in = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(add + x)));
    const __m256i out = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sub + x)));
    a = _mm256_sub_epi16(_mm256_add_epi16(a, in), out);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc + x), a);
  }
  return x;
}
#endif

int boxRow(uint16_t* acc, const uint8_t* add, const uint8_t* sub, uint8_t* d, int rowBytes, uint16_t half,
           uint16_t mul) {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    const int x = boxRowAVX2(acc, add, sub, d, rowBytes, half, mul);
    return x + boxRowSSE2(acc + x, add + x, sub + x, d + x, rowBytes - x, half, mul);
  }
#endif
  return boxRowSSE2(acc, add, sub, d, rowBytes, half, mul);
}

void boxColumns(const uint8_t* src, int srcStride, uint8_t* dst, int dstStride, int rowBytes, int rows, int r,
                std::vector<uint16_t>& sums) {
  const uint16_t mul = static_cast<uint16_t>(65536 / (2 * r + 1));
  const uint16_t half = static_cast<uint16_t>(r);
  const int last = rows - 1;
  if (sums.size() < static_cast<size_t>(rowBytes)) sums.resize(rowBytes);
  uint16_t* __restrict acc = sums.data();
  auto rowPtr = [&](int i) { return src + static_cast<ptrdiff_t>(std::clamp(i, 0, last)) * srcStride; };
  // The first window: the edge row r + 1 times, then the r rows after it.
  const uint8_t* __restrict first = rowPtr(0);
  for (int x = 0; x < rowBytes; ++x) acc[x] = static_cast<uint16_t>(first[x] * (r + 1));
  for (int i = 1; i <= r; ++i) {
    const uint8_t* __restrict s = rowPtr(i);
    for (int x = 0; x < rowBytes; ++x) acc[x] = static_cast<uint16_t>(acc[x] + s[x]);
  }
  for (int row = 0; row < rows; ++row) {
    uint8_t* __restrict d = dst + static_cast<ptrdiff_t>(row) * dstStride;
    const uint8_t* __restrict add = rowPtr(row + r + 1);
    const uint8_t* __restrict sub = rowPtr(row - r);
    for (int x = boxRow(acc, add, sub, d, rowBytes, half, mul); x < rowBytes; ++x) {
      const uint16_t a = acc[x];
      const auto q = static_cast<uint16_t>((static_cast<uint32_t>(static_cast<uint16_t>(a + half)) * mul) >> 16);
      d[x] = static_cast<uint8_t>(q);
      acc[x] = static_cast<uint16_t>(a + add[x] - sub[x]);
    }
  }
}

}  // namespace

// Three column passes from `plane` ending in `out` (which may be `plane`).
void Blur::columnPasses(uint8_t* plane, int stride, uint8_t* out, int outStride, int rowBytes, int rows,
                        const std::array<int, 3>& radii, bool padded) {
  // Columns up to a whole number of 16 where the rows' padding may take them
  // (their values unused), rather than the last few one at a time.
  if (padded) rowBytes = (rowBytes + 15) & ~15;
  const int tmpStride = (rowBytes + 63) & ~63;
  uint8_t* a = tmpA_.get(static_cast<size_t>(tmpStride) * rows);
  uint8_t* b = tmpB_.get(static_cast<size_t>(tmpStride) * rows);
  auto radius = [&](int i) { return std::clamp(radii[i], 0, 127); };
  boxColumns(plane, stride, a, tmpStride, rowBytes, rows, radius(0), sums_);
  boxColumns(a, tmpStride, b, tmpStride, rowBytes, rows, radius(1), sums_);
  boxColumns(b, tmpStride, out, outStride, rowBytes, rows, radius(2), sums_);
}

void Blur::blurPlane(uint8_t* plane, int stride, int samples, int rows, int ch, const std::array<int, 3>& radii,
                     bool padded) {
  // Down the columns in place (byte columns of interleaved chroma are independent),
  // then across the rows as columns of the transposed plane.
  columnPasses(plane, stride, plane, stride, samples * ch, rows, radii, padded);
  const int tStride = (rows + 63) & ~63;
  const size_t tSize = static_cast<size_t>(tStride) * samples;
  uint8_t* t0 = transposed_.get(tSize * ch);
  uint8_t* t1 = t0 + tSize;
  if (ch == 1) {
    libyuv::TransposePlane(plane, stride, t0, tStride, samples, rows);
  } else {
    libyuv::SplitTransposeUV(plane, stride, t0, tStride, t1, tStride, samples, rows);
  }
  for (int c = 0; c < ch; ++c) {
    uint8_t* t = t0 + tSize * c;
    columnPasses(t, tStride, t, tStride, rows, samples, radii, true);
  }
  if (ch == 1) {
    libyuv::TransposePlane(t0, tStride, plane, stride, rows, samples);
  } else {
    const int pStride = (samples + 63) & ~63;
    uint8_t* u = back_.get(static_cast<size_t>(pStride) * rows * 2);
    uint8_t* v = u + static_cast<size_t>(pStride) * rows;
    libyuv::TransposePlane(t0, tStride, u, pStride, rows, samples);
    libyuv::TransposePlane(t1, tStride, v, pStride, rows, samples);
    libyuv::MergeUVPlane(u, pStride, v, pStride, plane, stride, samples, rows);
  }
}

void convertBGRA(const uint8_t* bgra, int stride, int width, int height, const NV12Frame& dst) {
  if (bgra == nullptr || dst.isEmpty()) return;
  platform::convertBGRAToBT709NV12(bgra, stride, std::min(width, dst.width), std::min(height, dst.height), dst.y,
                                   dst.strideY, dst.uv, dst.strideUV);
}

void convertP010(const uint16_t* y, int strideY, const uint16_t* uv, int strideUV, const NV12Frame& dst) {
  if (dst.isEmpty()) return;
  platform::convertP010ToNV12(y, strideY, uv, strideUV, dst.width, dst.height, dst.y, dst.strideY, dst.uv, dst.strideUV);
}

platform::YCbCrMatrix effectiveMatrix(platform::YCbCrMatrix tagged, int height) {
  if (tagged != platform::YCbCrMatrix::unspecified) return tagged;
  return height < 720 ? platform::YCbCrMatrix::itu_r_601_4 : platform::YCbCrMatrix::itu_r_709_2;
}

bool needsConversion(platform::YCbCrMatrix matrix, bool fullRange) {
  return fullRange || matrix != platform::YCbCrMatrix::itu_r_709_2;
}

void convertToBT709(const NV12Frame& src, platform::YCbCrMatrix matrix, bool fullRange, const NV12Frame& dst) {
  if (src.isEmpty() || dst.isEmpty()) return;
  const Mat3 m = multiply(toYCbCr(weightsOf(platform::YCbCrMatrix::itu_r_709_2)), toRGB(weightsOf(matrix)));
  const double yOff = fullRange ? 0 : 16, yScale = fullRange ? 255 : 219, cScale = fullRange ? 255 : 224;
  // Tables in 1/16 steps of output code values: luma from Y, Cb and Cr; chroma from Cb and Cr.
  std::array<int, 256> yFromY, yFromCb, yFromCr, cbFromCb, cbFromCr, crFromCb, crFromCr;
  for (int v = 0; v < 256; ++v) {
    const double yn = (v - yOff) / yScale, cn = (v - 128) / cScale;
    yFromY[v] = static_cast<int>(std::lround(16 * (16 + 219 * m[0][0] * yn)));
    yFromCb[v] = static_cast<int>(std::lround(16 * 219 * m[0][1] * cn));
    yFromCr[v] = static_cast<int>(std::lround(16 * 219 * m[0][2] * cn));
    cbFromCb[v] = static_cast<int>(std::lround(16 * (128 + 224 * m[1][1] * cn)));
    cbFromCr[v] = static_cast<int>(std::lround(16 * 224 * m[1][2] * cn));
    crFromCb[v] = static_cast<int>(std::lround(16 * 224 * m[2][1] * cn));
    crFromCr[v] = static_cast<int>(std::lround(16 * (128 + 224 * m[2][2] * cn)));
  }
  const int w = std::min(src.width, dst.width), h = std::min(src.height, dst.height);
  for (int row = 0; row < h; ++row) {
    const uint8_t* sy = src.y + static_cast<ptrdiff_t>(row) * src.strideY;
    const uint8_t* suv = src.uv + static_cast<ptrdiff_t>(row / 2) * src.strideUV;
    uint8_t* dy = dst.y + static_cast<ptrdiff_t>(row) * dst.strideY;
    for (int x = 0; x < w; ++x) {
      const int cb = suv[x & ~1], cr = suv[(x & ~1) + 1];
      dy[x] = clampByte((yFromY[sy[x]] + yFromCb[cb] + yFromCr[cr] + 8) >> 4, 16, 235);
    }
  }
  for (int row = 0; row < (h + 1) / 2; ++row) {
    const uint8_t* s = src.uv + static_cast<ptrdiff_t>(row) * src.strideUV;
    uint8_t* d = dst.uv + static_cast<ptrdiff_t>(row) * dst.strideUV;
    for (int x = 0; x < (w + 1) / 2; ++x) {
      const int cb = s[2 * x], cr = s[2 * x + 1];
      d[2 * x] = clampByte((cbFromCb[cb] + cbFromCr[cr] + 8) >> 4, 16, 240);
      d[2 * x + 1] = clampByte((crFromCb[cb] + crFromCr[cr] + 8) >> 4, 16, 240);
    }
  }
}

}  // namespace quarzadel::nv12
