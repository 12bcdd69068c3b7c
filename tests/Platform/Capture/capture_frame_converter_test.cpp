#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "Platform/Capture/CaptureFrameConverter.h"
#include "Platform/Dispatch/VirtualRuntime.h"

namespace platform {
namespace {

uint8_t lumaAt(const PixelBuffer& b, int x, int y) { return b.plane(0).data[y * b.plane(0).bytesPerRow + x]; }
std::pair<uint8_t, uint8_t> chromaAt(const PixelBuffer& b, int x, int y) {
  const uint8_t* p = b.plane(1).data + (y / 2) * b.plane(1).bytesPerRow + (x / 2) * 2;
  return {p[0], p[1]};
}

// A YUYV frame whose left half is one colour and right half another, rows padded.
std::vector<uint8_t> yuyvHalves(int w, int h, size_t stride) {
  std::vector<uint8_t> data(stride * h, 0xEE);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; x += 2) {
      uint8_t* p = data.data() + y * stride + x * 2;
      const bool left = x < w / 2;
      p[0] = left ? 60 : 200;
      p[1] = left ? 90 : 160;
      p[2] = left ? 60 : 200;
      p[3] = left ? 240 : 30;
    }
  return data;
}

TEST(CaptureFrameConverter, YUYVBecomesVideoRangeNV12WithItsColoursAndMatrix) {
  CaptureFrameConverter converter;
  const int w = 64, h = 8;
  const size_t stride = w * 2 + 32;
  const auto data = yuyvHalves(w, h, stride);
  CapturedFrameLayout layout{V4L2_PIX_FMT_YUYV, w, h, uint32_t(stride), YCbCrMatrix::itu_r_601_4, false};
  auto picture = converter.convert(layout, data.data(), data.size());
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->format(), PixelFormat::nv12VideoRange);
  EXPECT_EQ(picture->width(), w);
  EXPECT_EQ(picture->height(), h);
  EXPECT_EQ(lumaAt(*picture, 3, 5), 60);
  EXPECT_EQ(lumaAt(*picture, 50, 5), 200);
  EXPECT_EQ(chromaAt(*picture, 3, 5), (std::pair<uint8_t, uint8_t>{90, 240}));
  EXPECT_EQ(chromaAt(*picture, 50, 5), (std::pair<uint8_t, uint8_t>{160, 30}));
  EXPECT_EQ(picture->colorAttachments().matrix, YCbCrMatrix::itu_r_601_4);
}

TEST(CaptureFrameConverter, PlanarAndBiPlanarFramesKeepTheirPlanes) {
  CaptureFrameConverter converter;
  const int w = 16, h = 4;
  std::vector<uint8_t> nv12(w * h + w * h / 2);
  std::fill(nv12.begin(), nv12.begin() + w * h, 100);
  for (size_t i = w * h; i < nv12.size(); i += 2) nv12[i] = 110, nv12[i + 1] = 140;
  auto a = converter.convert({V4L2_PIX_FMT_NV12, w, h, 0, YCbCrMatrix::itu_r_709_2, true}, nv12.data(), nv12.size());
  ASSERT_TRUE(a);
  EXPECT_EQ(a->format(), PixelFormat::nv12FullRange);
  EXPECT_EQ(chromaAt(*a, 5, 3), (std::pair<uint8_t, uint8_t>{110, 140}));
  EXPECT_EQ(a->colorAttachments().matrix, YCbCrMatrix::itu_r_709_2);

  // NV21 swaps the chroma pair; YVU420 swaps the planes.
  auto b = converter.convert({V4L2_PIX_FMT_NV21, w, h, 0, YCbCrMatrix::itu_r_601_4, false}, nv12.data(), nv12.size());
  ASSERT_TRUE(b);
  EXPECT_EQ(chromaAt(*b, 5, 3), (std::pair<uint8_t, uint8_t>{140, 110}));
  std::vector<uint8_t> i420(w * h + w * h / 2, 100);
  std::fill(i420.begin() + w * h, i420.begin() + w * h + w * h / 4, 70);
  std::fill(i420.begin() + w * h + w * h / 4, i420.end(), 180);
  auto c = converter.convert({V4L2_PIX_FMT_YUV420, w, h, 0, YCbCrMatrix::itu_r_601_4, false}, i420.data(), i420.size());
  auto d = converter.convert({V4L2_PIX_FMT_YVU420, w, h, 0, YCbCrMatrix::itu_r_601_4, false}, i420.data(), i420.size());
  ASSERT_TRUE(c && d);
  EXPECT_EQ(chromaAt(*c, 0, 0), (std::pair<uint8_t, uint8_t>{70, 180}));
  EXPECT_EQ(chromaAt(*d, 0, 0), (std::pair<uint8_t, uint8_t>{180, 70}));
}

TEST(CaptureFrameConverter, ShortOrUnknownDataGivesNoPicture) {
  CaptureFrameConverter converter;
  std::vector<uint8_t> data(64 * 8 * 2);
  EXPECT_FALSE(converter.convert({V4L2_PIX_FMT_YUYV, 64, 8, 0}, data.data(), data.size() - 1));
  EXPECT_FALSE(converter.convert({V4L2_PIX_FMT_RGB24, 64, 8, 0}, data.data(), data.size()));
  EXPECT_FALSE(converter.convert({V4L2_PIX_FMT_NV12, 64, 8, 0}, data.data(), 64 * 8));
  EXPECT_FALSE(converter.convert({V4L2_PIX_FMT_MJPEG, 64, 8, 0}, data.data(), data.size()));
  EXPECT_FALSE(converter.convert({V4L2_PIX_FMT_YUYV, 64, 8, 0}, nullptr, data.size()));
  EXPECT_FALSE(CaptureFrameConverter::canConvert(V4L2_PIX_FMT_H264));
}

// Motion JPEG made by ffmpeg: a solid colour decodes to full-range NV12 of it.
TEST(CaptureFrameConverter, MotionJPEGIsDecodedToFullRangeNV12) {
  const auto dir = std::filesystem::temp_directory_path() / ("qz-mjpeg-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "red.jpg";
  const std::string cmd = "ffmpeg -v error -y -f lavfi -i color=c=0xff0000:s=64x48 -frames:v 1 -pix_fmt yuvj420p '" +
                          file.string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove_all(dir);

  CaptureFrameConverter converter;
  auto picture = converter.convert({V4L2_PIX_FMT_MJPEG, 64, 48, 0}, jpeg.data(), jpeg.size());
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->format(), PixelFormat::nv12FullRange);
  EXPECT_EQ(picture->colorAttachments().matrix, YCbCrMatrix::itu_r_601_4);
  // Red in full-range BT.601: Y 76, Cb 85, Cr 255.
  EXPECT_NEAR(lumaAt(*picture, 32, 24), 76, 3);
  EXPECT_NEAR(chromaAt(*picture, 32, 24).first, 85, 3);
  EXPECT_NEAR(chromaAt(*picture, 32, 24).second, 255, 3);
  // A frame of another size than the format's is refused rather than misread.
  EXPECT_FALSE(converter.convert({V4L2_PIX_FMT_MJPEG, 32, 24, 0}, jpeg.data(), jpeg.size()));
}

TEST(CaptureFrameConverter, PicturesTheProgramHeldThroughAStallAreFreedOnceIdle) {
  auto clock = VirtualRuntime::make();
  CaptureFrameConverter converter(clock);
  const int w = 16, h = 4;
  const auto data = yuyvHalves(w, h, w * 2);
  const CapturedFrameLayout layout{V4L2_PIX_FMT_YUYV, w, h, 0};
  std::vector<PixelBufferRef> held;
  for (int i = 0; i < 12; ++i) held.push_back(converter.convert(layout, data.data(), data.size()));
  held.clear();
  const auto pool = converter.pool();
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->freeCount(), 12u);
  clock->advance(seconds(CaptureFrameConverter::kPoolIdleReleaseSeconds));
  ASSERT_TRUE(converter.convert(layout, data.data(), data.size()));
  EXPECT_EQ(pool->freeCount() + pool->inUseCount(), pool->minimumBufferCount());
}

}  // namespace
}  // namespace platform
