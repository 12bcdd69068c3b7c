#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <libyuv/planar_functions.h>

#include "Quarzadel/Program/NV12Ops.h"

namespace quarzadel {
namespace {

// A picture with room around it, so that a scale into a part of it can be seen
// to keep to that part.
struct Canvas {
  static constexpr int kMargin = 6;
  Canvas(int width, int height, uint8_t fill) : w(width + 2 * kMargin), h(height + 2 * kMargin) {
    y.assign(static_cast<size_t>(w) * h, fill);
    uv.assign(static_cast<size_t>(w) * (h / 2 + 1), fill);
    inner = NV12Frame{y.data(), w, uv.data(), w, w, h}.crop(kMargin, kMargin, width, height);
  }
  // Noise with smooth stretches, so that both flat areas and sharp steps are scaled.
  void paint(unsigned seed) {
    std::srand(seed);
    for (auto* plane : {&y, &uv})
      for (size_t i = 0; i < plane->size(); ++i) (*plane)[i] = i % 7 < 3 ? static_cast<uint8_t>(i * 5) : std::rand();
  }
  int w, h;
  std::vector<uint8_t> y, uv;
  NV12Frame inner;
};

struct Ratio {
  int sw, sh, dw, dh;
};

// Bytes whose last one sits just before a page that faults when touched, so
// that reading or writing past them crashes.
class GuardedBytes {
 public:
  explicit GuardedBytes(size_t size) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    span_ = (size + page - 1) / page * page + page;
    void* base = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED || mprotect(static_cast<uint8_t*>(base) + span_ - page, page, PROT_NONE) != 0) std::abort();
    base_ = static_cast<uint8_t*>(base);
    data_ = base_ + span_ - page - size;
  }
  ~GuardedBytes() { munmap(base_, span_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  uint8_t* data() const { return data_; }

 private:
  uint8_t* base_ = nullptr;
  uint8_t* data_ = nullptr;
  size_t span_ = 0;
};

// A packed picture (strides equal to its rows' widths) whose planes each end
// against a faulting page.
struct GuardedPicture {
  GuardedPicture(int w, int h)
      : y(static_cast<size_t>(w) * h), uv(static_cast<size_t>((w + 1) / 2 * 2) * ((h + 1) / 2)),
        frame{y.data(), w, uv.data(), (w + 1) / 2 * 2, w, h} {}
  size_t lumaBytes() const { return static_cast<size_t>(frame.strideY) * frame.height; }
  size_t chromaBytes() const { return static_cast<size_t>(frame.strideUV) * frame.chromaHeight(); }
  GuardedBytes y, uv;
  NV12Frame frame;
};

TEST(PictureScaler, FastPathsGiveTheSamplesOfTheSeparableBilinearOne) {
  // 4x and 8x enlargements (the blurred fill into the bars), odd widths included;
  // 3x and 2.25x shrinks (a fill's source), the portrait foreground, a plain copy,
  // and a 720p camera enlarged to 1080p (with an odd-sized kin).
  const Ratio ratios[] = {{166, 270, 664, 1080}, {62, 270, 248, 1080}, {46, 10, 184, 40},   {6, 4, 24, 16},
                          {10, 8, 40, 8},        {84, 136, 672, 1088}, {31, 135, 248, 1080}, {3, 3, 24, 24},
                          {7, 5, 56, 40},        {1440, 810, 480, 270}, {1080, 608, 480, 270}, {1080, 1920, 608, 1080},
                          {64, 30, 64, 30},      {1280, 720, 1920, 1080}, {61, 41, 95, 67},
                          // Rows whose groups repeat, done a cycle at a time: 3:2 with odd
                          // widths and rows ending just past a cycle, 3:1, 2:1, 3:4, 7:8 and 45:64 up, 3:2, 4:3
                          // and 5:4 down, odd widths among them, and 4:5 up (whose cycle is too
                          // long to be kept).
                          {1278, 718, 1917, 1077}, {128, 72, 192, 108}, {86, 58, 129, 87},  {640, 360, 1280, 720},
                          {960, 540, 1280, 720},   {123, 71, 164, 95},  {1920, 1080, 1280, 720},
                          {1436, 1080, 1077, 810}, {1280, 720, 1024, 576}, {645, 363, 516, 290},
                          {1024, 576, 1280, 720}, {450, 254, 640, 360}, {213, 71, 639, 213},
                          {1064, 600, 1216, 686}};
  nv12::Scaler fast, reference;
  for (int pass = 0; pass < 2; ++pass)  // the second pass reuses every kept row layout
    for (const auto& r : ratios) {
      Canvas src(r.sw, r.sh, 0), got(r.dw, r.dh, 7), want(r.dw, r.dh, 7);
      src.paint(r.sw * 31 + r.dh);
      fast.scale(src.inner, got.inner);
      reference.scaleSeparably(src.inner, want.inner, false);
      SCOPED_TRACE(::testing::Message() << r.sw << "x" << r.sh << " -> " << r.dw << "x" << r.dh << " pass " << pass);
      ASSERT_EQ(got.y, want.y);
      ASSERT_EQ(got.uv, want.uv);
      // Nothing outside the target part was written.
      EXPECT_EQ(got.y.front(), 7);
      EXPECT_EQ(got.y.back(), 7);
      EXPECT_EQ(got.y[static_cast<size_t>(Canvas::kMargin) * got.w + Canvas::kMargin + r.dw], 7);
    }
}

TEST(PictureScaler, NarrowRowsEndLikeTheSeparableBilinearOnesAtEveryWidth) {
  // Rows from a few bytes to a few windows wide, up and down by ratios whose
  // groups repeat and ratios whose do not: a row's end meets its last window
  // at every offset, in one channel and two.
  nv12::Scaler fast, reference;
  for (int sw = 3; sw <= 72; ++sw)
    for (int dw : {sw * 3 / 2, sw + 1, 2 * sw - 1, sw * 4 / 3, sw * 5 / 7, sw * 2 / 3, sw * 3 - 2}) {
      if (dw < 2 || dw == sw) continue;
      Canvas src(sw, 6, 0), got(dw, 9, 7), want(dw, 9, 7);
      src.paint(sw * 131 + dw);
      fast.scale(src.inner, got.inner);
      reference.scaleSeparably(src.inner, want.inner, false);
      ASSERT_EQ(got.y, want.y) << sw << " -> " << dw;
      ASSERT_EQ(got.uv, want.uv) << sw << " -> " << dw;
    }
}

TEST(PictureScaler, ReadsAndWritesNothingPastEitherPicturesLastRow) {
  // The last row's windows and stores meet the end of the plane itself here,
  // not a stride's padding.
  const Ratio ratios[] = {{1280, 720, 1920, 1080}, {1278, 718, 1917, 1077}, {640, 360, 1280, 720},
                          {1920, 1080, 1280, 720}, {1436, 1080, 1077, 810}, {1280, 720, 1024, 576},
                          {213, 71, 639, 213},     {450, 254, 640, 360},    {61, 41, 95, 67},
                          {17, 9, 25, 13},         {166, 270, 664, 1080},   {84, 136, 672, 1088}};
  nv12::Scaler fast, reference;
  for (const auto& r : ratios) {
    GuardedPicture src(r.sw, r.sh), got(r.dw, r.dh);
    for (size_t i = 0; i < src.lumaBytes(); ++i) src.frame.y[i] = static_cast<uint8_t>(i * 7 + i / 13);
    for (size_t i = 0; i < src.chromaBytes(); ++i) src.frame.uv[i] = static_cast<uint8_t>(i * 11 + i / 5);
    fast.scale(src.frame, got.frame);
    std::vector<uint8_t> y(got.lumaBytes()), uv(got.chromaBytes());
    reference.scaleSeparably(src.frame, NV12Frame{y.data(), got.frame.strideY, uv.data(), got.frame.strideUV, r.dw, r.dh},
                             false);
    SCOPED_TRACE(::testing::Message() << r.sw << "x" << r.sh << " -> " << r.dw << "x" << r.dh);
    EXPECT_EQ(std::memcmp(got.frame.y, y.data(), y.size()), 0);
    EXPECT_EQ(std::memcmp(got.frame.uv, uv.data(), uv.size()), 0);
  }
}

TEST(PictureScaler, FourfoldEnlargementSitsBetweenSamplesAndRepeatsTheEdges) {
  // One row 0, 80, 240: centre-aligned taps at -3/8, -1/8, 1/8, 3/8, ... of a sample.
  Canvas src(3, 2, 0), dst(12, 2, 0);
  for (int row = 0; row < 2; ++row) {
    uint8_t* y = src.inner.y + row * src.inner.strideY;
    y[0] = 0, y[1] = 80, y[2] = 240;
  }
  nv12::Scaler().scale(src.inner, dst.inner);
  const std::vector<int> want{0, 0, 10, 30, 50, 70, 100, 140, 180, 220, 240, 240};
  for (int row = 0; row < 2; ++row)
    for (int x = 0; x < 12; ++x) EXPECT_EQ(dst.inner.y[row * dst.inner.strideY + x], want[x]) << x << "," << row;
}

TEST(PictureScaler, RowBlendsRoundAsLibyuvsAtEveryFractionAndWidth) {
  // Widths around the 32- and 16-byte steps, and every fraction including the
  // extremes where the signed-sample trick is closest to overflowing.
  std::vector<uint8_t> a(100), b(100);
  for (size_t i = 0; i < a.size(); ++i) {
    a[i] = i % 3 == 0 ? 0 : static_cast<uint8_t>(i * 37);
    b[i] = i % 5 == 0 ? 255 : static_cast<uint8_t>(i * 91 + 7);
  }
  for (int n : {1, 15, 16, 17, 31, 32, 33, 63, 100})
    for (int f = 0; f < 256; ++f) {
      std::vector<uint8_t> got(n + 1, 1), want(n + 1, 1);
      nv12::blendRow(a.data(), b.data(), got.data(), n, f);
      libyuv::InterpolatePlane(a.data(), n, b.data(), n, want.data(), n, n, 1, f);
      ASSERT_EQ(got, want) << "width " << n << " fraction " << f;
    }
}

TEST(PictureScaler, RowBlendsGiveTheRoundedMeanOfEveryPairOfSamplesAtEveryFraction) {
  // All 65536 pairs in one row: at 128 the blend is a byte average, elsewhere
  // the signed-sample arithmetic meets both ends of its range.
  std::vector<uint8_t> a(65536), b(65536), got(65536);
  for (size_t i = 0; i < a.size(); ++i) {
    a[i] = static_cast<uint8_t>(i >> 8);
    b[i] = static_cast<uint8_t>(i);
  }
  for (int f = 0; f < 256; ++f) {
    nv12::blendRow(a.data(), b.data(), got.data(), static_cast<int>(got.size()), f);
    for (size_t i = 0; i < a.size(); ++i)
      ASSERT_EQ(got[i], (a[i] * (256 - f) + b[i] * f + 128) >> 8) << "a " << int(a[i]) << " b " << int(b[i]) << " f " << f;
  }
}

TEST(PictureScaler, TwoRowsBlendedFromOnePairAreThoseBlendedOneByOne) {
  std::vector<uint8_t> a(100), b(100);
  for (size_t i = 0; i < a.size(); ++i) {
    a[i] = static_cast<uint8_t>(i * 37 + (i % 4 == 0 ? 128 : 0));
    b[i] = static_cast<uint8_t>(i * 91 + 7);
  }
  for (int n : {1, 31, 32, 33, 64, 95})
    for (int f0 = 0; f0 < 256; f0 += 5)
      for (int f1 : {0, 1, 43, 128, 213, 255}) {
        std::vector<uint8_t> got0(n + 1, 1), got1(n + 1, 1), want0(n + 1, 1), want1(n + 1, 1);
        nv12::blendRowPair(a.data(), b.data(), got0.data(), f0, got1.data(), f1, n);
        nv12::blendRow(a.data(), b.data(), want0.data(), n, f0);
        nv12::blendRow(a.data(), b.data(), want1.data(), n, f1);
        ASSERT_EQ(got0, want0) << "width " << n << " fractions " << f0 << ", " << f1;
        ASSERT_EQ(got1, want1) << "width " << n << " fractions " << f0 << ", " << f1;
      }
}

}  // namespace
}  // namespace quarzadel
