#include <gtest/gtest.h>

#include "Platform/Media/FFmpegBridge.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

using namespace platform;
using namespace platform::ffmpeg;

namespace {

AVFramePtr allocatedFrame(AVPixelFormat format, int width, int height) {
  AVFramePtr f(av_frame_alloc());
  f->format = format;
  f->width = width;
  f->height = height;
  if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
  return f;
}

}  // namespace

TEST(FFmpegBridge, FrameOverAPictureSharesItsMemoryAndKeepsItAlive) {
  auto picture = PixelBuffer::make(64, 48, PixelFormat::nv12VideoRange);
  picture->setColorAttachments(ColorAttachments::bt709());
  std::weak_ptr<PixelBuffer> watch = picture;
  AVFramePtr frame = makeAVFrame(picture);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->data[0], picture->baseAddressOfPlane(0));
  EXPECT_EQ(frame->data[1], picture->baseAddressOfPlane(1));
  EXPECT_EQ(frame->linesize[1], static_cast<int>(picture->bytesPerRowOfPlane(1)));
  EXPECT_EQ(frame->format, AV_PIX_FMT_NV12);
  EXPECT_EQ(frame->color_range, AVCOL_RANGE_MPEG);
  EXPECT_EQ(frame->colorspace, AVCOL_SPC_BT709);
  EXPECT_EQ(frame->color_trc, AVCOL_TRC_BT709);

  // An encoder takes its own reference; the picture lives until the last one goes.
  AVFramePtr ref(av_frame_clone(frame.get()));
  picture.reset();
  frame.reset();
  EXPECT_FALSE(watch.expired());
  ref->data[0][0] = 1;
  ref.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(FFmpegBridge, DecodedNV12IsWrappedWithoutCopying) {
  auto f = allocatedFrame(AV_PIX_FMT_NV12, 32, 16);
  f->color_range = AVCOL_RANGE_JPEG;
  f->data[1][0] = 77;
  auto picture = pixelBufferFromAVFrame(*f);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->format(), PixelFormat::nv12FullRange);
  EXPECT_EQ(picture->baseAddressOfPlane(1), f->data[1]);
  f.reset();  // the decoder reuses its frame; the picture keeps its own reference
  EXPECT_EQ(picture->baseAddressOfPlane(1)[0], 77);
}

TEST(FFmpegBridge, PlanarYUVBecomesBiPlanar) {
  auto f = allocatedFrame(AV_PIX_FMT_YUV420P, 6, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) f->data[0][y * f->linesize[0] + x] = static_cast<uint8_t>(10 * y + x);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) {
      f->data[1][y * f->linesize[1] + x] = static_cast<uint8_t>(100 + 10 * y + x);
      f->data[2][y * f->linesize[2] + x] = static_cast<uint8_t>(200 + 10 * y + x);
    }
  f->colorspace = AVCOL_SPC_BT709;
  auto pool = PixelBufferPool::make(6, 4, PixelFormat::nv12VideoRange, 1);
  auto picture = pixelBufferFromAVFrame(*f, pool.get());
  ASSERT_TRUE(picture);
  EXPECT_EQ(pool->inUseCount(), 1u);
  EXPECT_EQ(picture->baseAddressOfPlane(0)[picture->bytesPerRowOfPlane(0) * 3 + 5], 35);
  const uint8_t* c = picture->baseAddressOfPlane(1) + picture->bytesPerRowOfPlane(1);
  EXPECT_EQ(c[0], 110);
  EXPECT_EQ(c[1], 210);
  EXPECT_EQ(c[4], 112);
  EXPECT_EQ(c[5], 212);
  EXPECT_EQ(picture->colorAttachments().matrix, YCbCrMatrix::itu_r_709_2);

  auto ten = allocatedFrame(AV_PIX_FMT_YUV420P10LE, 2, 2);
  reinterpret_cast<uint16_t*>(ten->data[0])[1] = 1023;
  reinterpret_cast<uint16_t*>(ten->data[2])[0] = 512;
  auto p010 = pixelBufferFromAVFrame(*ten);
  ASSERT_TRUE(p010);
  EXPECT_EQ(p010->format(), PixelFormat::p010);
  EXPECT_EQ(reinterpret_cast<uint16_t*>(p010->baseAddressOfPlane(0))[1], 1023 << 6);
  EXPECT_EQ(reinterpret_cast<uint16_t*>(p010->baseAddressOfPlane(1))[1], 512 << 6);

  EXPECT_FALSE(pixelBufferFromAVFrame(*allocatedFrame(AV_PIX_FMT_YUV444P, 4, 4)));
  // A picture of another size is refused rather than overrun.
  auto small = PixelBuffer::make(4, 4, PixelFormat::nv12VideoRange);
  EXPECT_FALSE(copyAVFrameToPixelBuffer(*f, *small));
}

TEST(FFmpegBridge, SoundFramesAndTimes) {
  auto pcm = PCMBuffer::make(AudioFormat::standard(48000, 2), 1024);
  pcm->setFrameLength(960);
  pcm->floatChannelData()[1][5] = 0.25f;
  AVFramePtr frame = makeAVFrame(pcm);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLTP);
  EXPECT_EQ(frame->nb_samples, 960);
  EXPECT_EQ(frame->ch_layout.nb_channels, 2);
  EXPECT_EQ(reinterpret_cast<float*>(frame->extended_data[1])[5], 0.25f);

  auto copy = pcmBufferFromAVFrame(*frame);
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->format() == pcm->format());
  EXPECT_EQ(copy->frameLength(), 960u);
  EXPECT_EQ(copy->floatChannelData()[1][5], 0.25f);
  EXPECT_NE(copy->floatChannelData()[1], pcm->floatChannelData()[1]);

  frame->format = AV_SAMPLE_FMT_U8;
  EXPECT_FALSE(pcmBufferFromAVFrame(*frame));

  AVPacket* packet = av_packet_alloc();
  ASSERT_EQ(av_new_packet(packet, 16), 0);
  packet->data[3] = 9;
  BlockBuffer bytes = blockBufferFromAVPacket(*packet);
  av_packet_free(&packet);  // the block holds its own reference
  ASSERT_EQ(bytes.size(), 16u);
  EXPECT_EQ(bytes.data()[3], 9);

  EXPECT_EQ(mediaTimeFrom(1500, AVRational{1, 1000}), MediaTime(1500, 1000));
  EXPECT_EQ(mediaTimeFrom(3, AVRational{1001, 30000}).seconds(), 3 * 1001 / 30000.0);
  EXPECT_FALSE(mediaTimeFrom(AV_NOPTS_VALUE, AVRational{1, 1000}).isValid());
  EXPECT_EQ(avTimestamp(MediaTime(3, 2), AVRational{1, 90000}), 135000);
  EXPECT_EQ(avTimestamp(MediaTime::invalid(), AVRational{1, 90000}), AV_NOPTS_VALUE);
}
