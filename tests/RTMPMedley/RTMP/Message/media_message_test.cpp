#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

using namespace rtmpmedley;
using namespace platform;
using rtmptest::Bytes;
using rtmptest::concat;

namespace {

AudioFormat compressed(FourCC id, double rate, uint32_t channels, uint32_t flags) {
  AudioStreamBasicDescription d;
  d.sampleRate = rate;
  d.formatID = id;
  d.formatFlags = flags;
  d.framesPerPacket = id == audioFormatID::opus ? 960 : 1024;
  d.channelsPerFrame = channels;
  return *AudioFormat::fromStreamDescription(d);
}

FormatDescriptionRef video(FourCC codec, const char* atom, const Bytes& record) {
  VideoExtensions ext;
  if (atom) ext.sampleDescriptionAtoms[atom] = record;
  return FormatDescription::makeVideo(codec, 320, 240, ext);
}

SampleBufferRef frame(FourCC codec, const Bytes& bytes, MediaTime pts, MediaTime dts, bool key) {
  SampleTiming t;
  t.presentationTime = pts;
  t.decodeTime = dts;
  auto s = SampleBuffer::makeData(BlockBuffer::copy(bytes), video(codec, nullptr, {}), t);
  s->setNotSync(!key);
  return s;
}

TEST(AudioMessageTest, SequenceHeadersAndFrames) {
  const auto aac = compressed(audioFormatID::mpeg4AAC, 48000, 2, 2);
  const auto opus = compressed(audioFormatID::opus, 48000, 2, 0);
  EXPECT_EQ(RTMPAudioMessage::make(1, 0, aac.makeFormatDescription())->payload(), (Bytes{0xAF, 0x00, 0x11, 0x90}));
  EXPECT_EQ(RTMPAudioMessage::make(1, 0, opus.makeFormatDescription())->payload(),
            concat({Bytes{0x90}, rtmptest::ascii("OpusOpusHead"), Bytes{1, 2, 0, 0, 0x80, 0xBB, 0, 0, 0, 0, 0}}));
  // A rate without an AudioSpecificConfig index cannot be announced.
  EXPECT_FALSE(RTMPAudioMessage::make(1, 0, compressed(audioFormatID::mpeg4AAC, 12345, 2, 2).makeFormatDescription()));
  EXPECT_FALSE(RTMPAudioMessage::make(1, 0, FormatDescriptionRef()));

  auto aacBuffer = CompressedAudioBuffer::make(aac, 1, 64);
  aacBuffer->setSinglePacket(Bytes{1, 2, 3}.data(), 3);
  EXPECT_EQ(RTMPAudioMessage::make(1, 0, std::shared_ptr<const CompressedAudioBuffer>(aacBuffer))->payload(),
            (Bytes{0xAF, 0x01, 1, 2, 3}));
  auto opusBuffer = CompressedAudioBuffer::make(opus, 1, 64);
  opusBuffer->setByteLength(0);
  EXPECT_EQ(RTMPAudioMessage::make(1, 0, std::shared_ptr<const CompressedAudioBuffer>(opusBuffer))->payload(),
            (Bytes{0x91, 'O', 'p', 'u', 's'}));
}

TEST(AudioMessageTest, PlaybackFormats) {
  const std::vector<std::tuple<Bytes, double, uint32_t>> cases = {
      {{0xAF, 0x01, 9}, 44100, 2}, {{0xA2, 0x01}, 5500, 1}, {{0xAF, 0x00, 0x11, 0x90}, 48000, 2}};
  for (const auto& [payload, rate, channels] : cases) {
    const auto f = RTMPAudioMessage(1, 0, payload).makeAudioFormat();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->sampleRate(), rate);
    EXPECT_EQ(f->channelCount(), channels);
  }
  for (const Bytes& bad : {Bytes{}, Bytes{0xC0}, Bytes{0xAF}, Bytes{0x91, 'O', 'p', 'u', 's'}, Bytes{0x2F, 0x01}})
    EXPECT_FALSE(RTMPAudioMessage(1, 0, bad).makeAudioFormat());
}

TEST(AudioMessageTest, CopyPayloadIntoACompressedBuffer) {
  auto buffer = CompressedAudioBuffer::make(compressed(audioFormatID::mpeg4AAC, 44100, 2, 2), 1, 4);
  ASSERT_TRUE(RTMPAudioMessage(1, 0, {0xAF, 0x01, 7, 8, 9}).copyPayload(*buffer));
  EXPECT_EQ(buffer->data()[2], 9);
  EXPECT_EQ(buffer->packetDescriptions()[0].dataByteSize, 3u);
  EXPECT_FALSE(RTMPAudioMessage(1, 0, {0xAF, 0x01, 1, 2, 3, 4, 5}).copyPayload(*buffer));
  EXPECT_FALSE(RTMPAudioMessage(1, 0, {0xAF}).copyPayload(*buffer));
}

TEST(VideoMessageTest, SequenceHeaders) {
  const Bytes avcC = rtmptest::avcC(rtmptest::kAVCSPS, rtmptest::kAVCPPS);
  EXPECT_EQ(RTMPVideoMessage::make(1, 0, video(codec::h264, "avcC", avcC))->payload(), concat({Bytes{0x17, 0, 0, 0, 0}, avcC}));
  EXPECT_EQ(RTMPVideoMessage::make(1, 0, video(codec::hevc, "hvcC", {1, 2, 3}))->payload(),
            (Bytes{0x90, 'h', 'v', 'c', '1', 1, 2, 3}));
  EXPECT_FALSE(RTMPVideoMessage::make(1, 0, video(codec::h264, nullptr, {})));
  EXPECT_FALSE(RTMPVideoMessage::make(1, 0, video(codec::hevc, "avcC", avcC)));
  EXPECT_FALSE(RTMPVideoMessage::make(1, 0, video(fourCC("vp09"), "avcC", avcC)));
}

TEST(VideoMessageTest, FrameHeadersAndCompositionTimes) {
  const Bytes nal = {0, 0, 0, 2, 0x65, 0x88};
  const MediaTime t(3000, 1000);
  const auto key = RTMPVideoMessage::make(1, 0, frame(codec::h264, nal, t, t, true));
  ASSERT_TRUE(key);
  EXPECT_EQ(key->payload(), concat({Bytes{0x17, 0x01, 0x00, 0x00, 0x42}, nal}));
  const auto noDts = RTMPVideoMessage::make(1, 0, frame(codec::h264, nal, t, MediaTime::invalid(), false));
  EXPECT_EQ(Bytes(noDts->payload().begin(), noDts->payload().begin() + 5), (Bytes{0x27, 0x01, 0, 0, 0}));
  const auto inter = RTMPVideoMessage::make(1, 0, frame(codec::hevc, nal, MediaTime(3100, 1000), t, false));
  EXPECT_EQ(Bytes(inter->payload().begin(), inter->payload().begin() + 8),
            (Bytes{0xA1, 'h', 'v', 'c', '1', 0x00, 0x00, 166}));
  // A presentation time before the decode time carries 0; a huge one is capped to 24 signed bits.
  const auto early = RTMPVideoMessage::make(1, 0, frame(codec::h264, nal, MediaTime(1000, 1000), t, true));
  EXPECT_EQ(early->compositionTime(), 0);
  const auto huge = RTMPVideoMessage::make(1, 0, frame(codec::h264, nal, MediaTime(100000000, 10), t, true));
  EXPECT_EQ(huge->compositionTime(), 0x7FFFFF);
  EXPECT_FALSE(RTMPVideoMessage::make(1, 0, frame(fourCC("vp09"), nal, t, t, true)));
  EXPECT_FALSE(RTMPVideoMessage::make(1, 0, SampleBufferRef()));
}

TEST(VideoMessageTest, Support) {
  const std::vector<std::pair<Bytes, bool>> cases = {
      {{0x17, 0x01}, true},          {{0x91, 'h', 'v', 'c', '1'}, true}, {{0x22, 0x01}, false},
      {{0x1F, 0x01}, false},         {{0x91, 'a', 'v', '0', '1'}, false}, {{0x91, 'h'}, false}, {{}, false}};
  for (const auto& [payload, supported] : cases) EXPECT_EQ(RTMPVideoMessage(1, 0, payload).isSupported(), supported);
}

TEST(VideoMessageTest, PlaybackFormatDescriptions) {
  const Bytes hvcC = rtmptest::hvcC({{0xA0, {rtmptest::kHEVCVPS}}, {0xA1, {rtmptest::kHEVCSPS}}, {0xA2, {rtmptest::kHEVCPPS}}});
  for (const auto& [header, codec] : std::vector<std::pair<Bytes, FourCC>>{
           {concat({Bytes{0x17, 0, 0, 0, 0}, rtmptest::avcC(rtmptest::kAVCSPS, rtmptest::kAVCPPS)}), codec::h264},
           {concat({Bytes{0x90, 'h', 'v', 'c', '1'}, hvcC}), codec::hevc}}) {
    const auto d = RTMPVideoMessage(1, 0, header).makeFormatDescription();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->mediaSubType(), codec);
    EXPECT_EQ(d->dimensions(), (VideoDimensions{320, 240}));
  }
  EXPECT_FALSE(RTMPVideoMessage(1, 0, {0x17, 0, 0}).makeFormatDescription());
  EXPECT_FALSE(RTMPVideoMessage(1, 0, {0x12, 0, 0, 0, 0, 1, 2}).makeFormatDescription());
}

TEST(VideoMessageTest, PlaybackSampleBuffers) {
  const auto fd = video(codec::h264, "avcC", rtmptest::avcC(rtmptest::kAVCSPS, rtmptest::kAVCPPS));
  const MediaTime at(2000, 1000);
  const auto inter = RTMPVideoMessage(1, 0, {0x27, 0x01, 0x00, 0x00, 0x21, 9, 9}).makeSampleBuffer(at, fd);
  ASSERT_TRUE(inter);
  EXPECT_EQ(inter->presentationTime(), MediaTime(2033, 1000));
  EXPECT_EQ(inter->decodeTime(), at);
  EXPECT_FALSE(inter->isSync());
  EXPECT_EQ(inter->dataBuffer()->toVector(), (Bytes{9, 9}));
  // Negative composition times are signed 24-bit.
  EXPECT_EQ(RTMPVideoMessage(1, 0, {0x17, 0x01, 0xFF, 0xFF, 0xFE}).compositionTime(), -2);
  const auto key = RTMPVideoMessage(1, 0, {0x17, 0x01, 0, 0, 0, 5}).makeSampleBuffer(at, fd);
  ASSERT_TRUE(key);
  EXPECT_TRUE(key->isSync());
  EXPECT_EQ(key->presentationTime(), at);
  EXPECT_FALSE(key->decodeTime().isValid());
  // Extended packets other than coded frames have a 5-byte header and no composition time.
  const RTMPVideoMessage other(1, 0, {0x93, 'h', 'v', 'c', '1', 7, 7, 7});
  EXPECT_EQ(other.compositionTime(), 0);
  EXPECT_EQ(other.makeSampleBuffer(at, fd)->dataBuffer()->size(), 3u);
  const auto coded = RTMPVideoMessage(1, 0, {0x91, 'h', 'v', 'c', '1', 0, 0, 10, 4}).makeSampleBuffer(at, fd);
  EXPECT_EQ(coded->presentationTime(), MediaTime(2010, 1000));
  EXPECT_EQ(coded->dataBuffer()->size(), 1u);
  EXPECT_FALSE(RTMPVideoMessage(1, 0, {0x91, 'h', 'v'}).makeSampleBuffer(at, fd));
  EXPECT_FALSE(RTMPVideoMessage(1, 0, {0x17, 0x01, 0, 0, 0, 5}).makeSampleBuffer(at, nullptr));
}

}  // namespace
