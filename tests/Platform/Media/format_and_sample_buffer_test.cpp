#include <gtest/gtest.h>

#include "Platform/Media/BlockBuffer.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "MediaTestSupport.h"

using namespace platform;

namespace {

VideoExtensions withAtom(const std::string& name, std::vector<uint8_t> bytes) {
  VideoExtensions ext;
  ext.sampleDescriptionAtoms[name] = std::move(bytes);
  return ext;
}

FormatDescriptionRef aac48k(std::vector<uint8_t> cookie = {0x11, 0x90}) {
  return platform::testing::aacFormat(48000).makeFormatDescription(std::move(cookie));
}

}  // namespace

TEST(FormatDescription, ComparesByValueIncludingAtomsAndCookie) {
  auto a = FormatDescription::makeVideo(codec::h264, 1920, 1080, withAtom("avcC", {1, 2, 3}));
  auto b = FormatDescription::makeVideo(codec::h264, 1920, 1080, withAtom("avcC", {1, 2, 3}));
  auto otherAtom = FormatDescription::makeVideo(codec::h264, 1920, 1080, withAtom("avcC", {1, 2, 4}));
  auto otherSize = FormatDescription::makeVideo(codec::h264, 1280, 720, withAtom("avcC", {1, 2, 3}));
  auto otherCodec = FormatDescription::makeVideo(codec::hevc, 1920, 1080, withAtom("avcC", {1, 2, 3}));
  VideoExtensions colour = withAtom("avcC", {1, 2, 3});
  colour.color = ColorAttachments::bt709();
  auto otherColour = FormatDescription::makeVideo(codec::h264, 1920, 1080, colour);
  EXPECT_TRUE(*a == *b);
  for (const auto& other : {otherAtom, otherSize, otherCodec, otherColour}) EXPECT_FALSE(*a == *other);

  EXPECT_TRUE(*aac48k() == *aac48k());
  EXPECT_FALSE(*aac48k() == *aac48k({0x12, 0x10}));
  EXPECT_FALSE(*aac48k() == *a);

  EXPECT_FALSE(sameFormat(a, nullptr));
}

TEST(BlockBuffer, SlicesShareMemoryAndStayInBounds) {
  auto block = BlockBuffer::copy(std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7});
  BlockBuffer tail = block.slice(5);
  EXPECT_EQ(tail.size(), 3u);
  EXPECT_EQ(tail.data(), block.data() + 5);
  EXPECT_TRUE(block.slice(8).empty());
  EXPECT_TRUE(block.slice(100, 2).empty());
  EXPECT_EQ(block.slice(6, 100).size(), 2u);

  uint8_t out[4] = {};
  EXPECT_TRUE(block.copyBytes(4, 4, out));
  EXPECT_EQ(out[3], 7);
  EXPECT_FALSE(block.copyBytes(5, 4, out));
  EXPECT_FALSE(block.copyBytes(SIZE_MAX, 2, out));

  // A slice keeps the bytes alive after the block it came from is gone.
  BlockBuffer survivor = BlockBuffer::copy(std::vector<uint8_t>{9, 9, 42}).slice(2);
  EXPECT_EQ(survivor.data()[0], 42);
  EXPECT_TRUE(BlockBuffer::copy(std::vector<uint8_t>{}).empty());
}

TEST(SampleBuffer, SampleSizesMustFitTheBlock) {
  auto data = BlockBuffer::allocate(890);
  auto fmt = aac48k();
  auto three = SampleBuffer::makeData(data, fmt, {}, 3, {300, 280, 310});
  ASSERT_TRUE(three);
  EXPECT_EQ(three->sampleData(2).data(), data.data() + 580);
  EXPECT_EQ(three->sampleData(2).size(), 310u);
  EXPECT_TRUE(three->sampleData(3).empty());

  EXPECT_FALSE(SampleBuffer::makeData(data, fmt, {}, 3, {300, 280, 311}));
  EXPECT_FALSE(SampleBuffer::makeData(data, fmt, {}, 2, {300, 280, 310}));
  EXPECT_FALSE(SampleBuffer::makeData(data, fmt, {}, SIZE_MAX / 2, {4}));  // size x count overflows
  EXPECT_FALSE(SampleBuffer::makeData(data, nullptr, {}));

  auto pcm = SampleBuffer::makeData(BlockBuffer::allocate(480 * 8), fmt, {}, 480, {8});
  ASSERT_TRUE(pcm);
  EXPECT_EQ(pcm->sampleData(479).data(), pcm->dataBuffer()->data() + 479 * 8);
}

TEST(SampleBuffer, RetimingSharesThePictureAndKeepsAttachments) {
  auto picture = PixelBuffer::make(16, 16, PixelFormat::nv12VideoRange);
  SampleTiming t{MediaTime(1, 30), MediaTime(100, 30), MediaTime::invalid()};
  auto frame = SampleBuffer::makeImage(picture, t);
  ASSERT_TRUE(frame);
  frame->setNotSync(true);

  auto later = frame->withTiming({MediaTime(1, 30), MediaTime(200, 30), MediaTime(199, 30)});
  EXPECT_EQ(later->imageBuffer(), picture);
  EXPECT_FALSE(later->isSync());
  EXPECT_EQ(later->presentationTime(), MediaTime(200, 30));
  EXPECT_EQ(frame->presentationTime(), MediaTime(100, 30));  // the original is untouched
  later->setNotSync(false);
  EXPECT_FALSE(frame->isSync());

  // A picture cannot be described as encoded video.
  EXPECT_FALSE(SampleBuffer::makeImage(picture, t, FormatDescription::makeVideo(codec::h264, 16, 16)));
  EXPECT_FALSE(SampleBuffer::makeImage(nullptr, t));
}
