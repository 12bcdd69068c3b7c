#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

using namespace rtmpmedley;
using namespace platform;
using rtmptest::Bytes;
using rtmptest::concat;

namespace {

AudioFormat compressed(FourCC id, double rate, uint32_t flags) {
  AudioStreamBasicDescription d;
  d.sampleRate = rate;
  d.formatID = id;
  d.formatFlags = flags;
  d.framesPerPacket = id == audioFormatID::opus ? 960 : 1024;
  d.channelsPerFrame = 2;
  return *AudioFormat::fromStreamDescription(d);
}

FormatDescriptionRef video(FourCC codec, const char* atom, const Bytes& record) {
  VideoExtensions ext;
  if (atom) ext.sampleDescriptionAtoms[atom] = record;
  return FormatDescription::makeVideo(codec, 320, 240, ext);
}

SampleBufferRef frame(FourCC codec, MediaTime pts, MediaTime dts) {
  SampleTiming t;
  t.presentationTime = pts;
  t.decodeTime = dts;
  return SampleBuffer::makeData(BlockBuffer::copy(Bytes{0, 0, 0, 2, 0x65, 0x88}), video(codec, nullptr, {}), t);
}

TEST(AudioMessageTest, OpusGoesOutInTheExtendedLayoutAndUnannounceableFormatsNotAtAll) {
  const auto opus = compressed(audioFormatID::opus, 48000, 0);
  EXPECT_EQ(RTMPAudioMessage::make(1, 0, opus.makeFormatDescription())->payload(),
            concat({Bytes{0x90}, rtmptest::ascii("OpusOpusHead"), Bytes{1, 2, 0, 0, 0x80, 0xBB, 0, 0, 0, 0, 0}}));
  auto opusBuffer = CompressedAudioBuffer::make(opus, 1, 64);
  opusBuffer->setByteLength(0);
  EXPECT_EQ(RTMPAudioMessage::make(1, 0, std::shared_ptr<const CompressedAudioBuffer>(opusBuffer))->payload(),
            (Bytes{0x91, 'O', 'p', 'u', 's'}));
  // A rate without an AudioSpecificConfig index cannot be announced.
  EXPECT_FALSE(RTMPAudioMessage::make(1, 0, compressed(audioFormatID::mpeg4AAC, 12345, 2).makeFormatDescription()));
  EXPECT_FALSE(RTMPAudioMessage::make(1, 0, FormatDescriptionRef()));
}

TEST(AudioMessageTest, UnplayableFormatsAndPayloadsThatDoNotFitTheBuffer) {
  // (AAC as real servers send it is played by the stream's peer tests.)
  for (const Bytes& bad : {Bytes{}, Bytes{0xC0}, Bytes{0xAF}, Bytes{0x91, 'O', 'p', 'u', 's'}, Bytes{0x2F, 0x01}})
    EXPECT_FALSE(RTMPAudioMessage(1, 0, bad).makeAudioFormat());
  auto buffer = CompressedAudioBuffer::make(compressed(audioFormatID::mpeg4AAC, 44100, 2), 1, 4);
  ASSERT_TRUE(RTMPAudioMessage(1, 0, {0xAF, 0x01, 7, 8, 9}).copyPayload(*buffer));
  EXPECT_EQ(buffer->packetDescriptions()[0].dataByteSize, 3u);
  EXPECT_FALSE(RTMPAudioMessage(1, 0, {0xAF, 0x01, 1, 2, 3, 4, 5}).copyPayload(*buffer));
  EXPECT_FALSE(RTMPAudioMessage(1, 0, {0xAF}).copyPayload(*buffer));
}

TEST(VideoMessageTest, OnlyRecordsThatMatchTheCodecAreSentAndCompositionTimesAreClamped) {
  const Bytes avcC = rtmptest::avcC(rtmptest::kAVCSPS, rtmptest::kAVCPPS);
  EXPECT_FALSE(RTMPVideoMessage::make(1, 0, video(codec::h264, nullptr, {})));
  EXPECT_FALSE(RTMPVideoMessage::make(1, 0, video(codec::hevc, "avcC", avcC)));
  EXPECT_FALSE(RTMPVideoMessage::make(1, 0, video(fourCC("vp09"), "avcC", avcC)));
  EXPECT_FALSE(RTMPVideoMessage::make(1, 0, SampleBufferRef()));
  const MediaTime t(3000, 1000);
  // With the fixed offset added, a presentation time before the decode time
  // carries 0 and a huge one is capped to 24 signed bits.
  EXPECT_EQ(RTMPVideoMessage::make(1, 0, frame(codec::h264, MediaTime(1000, 1000), t))->compositionTime(), 0);
  EXPECT_EQ(RTMPVideoMessage::make(1, 0, frame(codec::h264, MediaTime(100000000, 10), t))->compositionTime(),
            0x7FFFFF);
  EXPECT_EQ(RTMPVideoMessage::make(1, 0, frame(codec::hevc, MediaTime(3100, 1000), t))->compositionTime(), 166);
  EXPECT_EQ(RTMPVideoMessage::make(1, 0, frame(codec::h264, t, MediaTime::invalid()))->compositionTime(), 0);
}

TEST(VideoMessageTest, PlaybackOfWhatIsSupported) {
  // (AVC and HEVC from real servers are played by the stream's peer tests.)
  for (const Bytes& other : {Bytes{0x22, 0x01}, Bytes{0x1F, 0x01}, Bytes{0x91, 'h'}, Bytes{0x91, 'a', 'v', '0', '1'}, Bytes{}})
    EXPECT_FALSE(RTMPVideoMessage(1, 0, other).isSupported());
  EXPECT_FALSE(RTMPVideoMessage(1, 0, {0x17, 0, 0}).makeFormatDescription());

  // Composition times are signed 24-bit; extended packets other than coded
  // frames have a 5-byte header and none.
  const auto fd = video(codec::h264, "avcC", rtmptest::avcC(rtmptest::kAVCSPS, rtmptest::kAVCPPS));
  const MediaTime at(2000, 1000);
  const auto inter = RTMPVideoMessage(1, 0, {0x27, 0x01, 0xFF, 0xFF, 0xFE, 9, 9}).makeSampleBuffer(at, fd);
  ASSERT_TRUE(inter);
  EXPECT_EQ(inter->presentationTime(), MediaTime(1998, 1000));
  EXPECT_EQ(inter->decodeTime(), at);
  EXPECT_FALSE(inter->isSync());
  EXPECT_EQ(inter->dataBuffer()->toVector(), (Bytes{9, 9}));
  const RTMPVideoMessage other(1, 0, {0x93, 'h', 'v', 'c', '1', 7, 7, 7});
  EXPECT_EQ(other.compositionTime(), 0);
  EXPECT_EQ(other.makeSampleBuffer(at, fd)->dataBuffer()->size(), 3u);
  EXPECT_FALSE(RTMPVideoMessage(1, 0, {0x91, 'h', 'v'}).makeSampleBuffer(at, fd));
  EXPECT_FALSE(RTMPVideoMessage(1, 0, {0x17, 0x01, 0, 0, 0, 5}).makeSampleBuffer(at, nullptr));
}

}  // namespace
