#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPDataMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPSharedObjectMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

using namespace rtmpmedley;
using namespace platform;
using rtmptest::Bytes;
using rtmptest::concat;

namespace {

template <typename T>
std::shared_ptr<T> make(uint8_t typeId, Bytes payload) {
  return std::dynamic_pointer_cast<T>(RTMPMessage::make(typeId, 1, 2, std::move(payload)));
}

Bytes amf0(std::initializer_list<AMFValue> values) {
  AMF0Serializer s;
  for (const auto& v : values) s.serialize(v);
  return s.data();
}

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

TEST(ControlMessageTest, ShortOrOddPayloadsFromThePeer) {
  EXPECT_EQ(make<RTMPUserControlMessage>(4, {0x00, 0x05, 0, 0, 0, 0})->event, RTMPUserControlMessage::Event::unknown);
  EXPECT_EQ(make<RTMPUserControlMessage>(4, {0x00, 0x06, 0x12})->value, 0x12);
  EXPECT_EQ(make<RTMPSetPeerBandwidthMessage>(6, {0, 0, 0, 1, 0x07})->limit, RTMPSetPeerBandwidthMessage::Limit::unknown);
  EXPECT_EQ(RTMPMessage::make(4, 0, 0, {0x00}), nullptr);
  EXPECT_EQ(RTMPMessage::make(6, 0, 0, {0, 0, 0, 1}), nullptr);
  // Short 4-byte fields read as zero-padded in front; extra bytes are ignored.
  EXPECT_EQ(make<RTMPSetChunkSizeMessage>(1, {0x10, 0x00})->size, 0x1000u);
  EXPECT_EQ(make<RTMPAcknowledgementMessage>(3, {0, 0, 1, 0, 0xFF})->sequence, 256u);
}

// Control messages go out from the queues of several streams at once: reading
// a shared one is read-only (a race here shows under the thread sanitizer).
TEST(ControlMessageTest, OneMessageIsReadFromManyThreadsAtOnce) {
  const RTMPUserControlMessage pong(0, 0, RTMPUserControlMessage::Event::pong, -2);
  const Bytes expected{0, 7, 0xFF, 0xFF, 0xFF, 0xFE};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i)
        if (pong.payload() != expected || &pong.payload() != &pong.payload()) ++wrong;
    });
  for (auto& r : readers) r.join();
  EXPECT_EQ(wrong, 0);
}

TEST(CommandMessageTest, AMF3CommandsAndDataRoundTrip) {
  const RTMPCommandMessage publish(1, 0, RTMPObjectEncoding::amf3, "publish", 0, std::nullopt, {"key", "live"});
  const auto command = make<RTMPCommandMessage>(17, publish.payload());
  ASSERT_TRUE(command);
  EXPECT_EQ(command->commandName, "publish");
  EXPECT_FALSE(command->commandObject);
  EXPECT_EQ(command->arguments, publish.arguments);
  // Data has no leading format byte, and its handler name is optional.
  const RTMPDataMessage data(1, 0, RTMPObjectEncoding::amf3, "@setDataFrame", {"onMetaData", 1920.0});
  const auto read = make<RTMPDataMessage>(15, data.payload());
  ASSERT_TRUE(read);
  EXPECT_EQ(read->handlerName, "@setDataFrame");
  EXPECT_EQ(read->arguments, data.arguments);
  EXPECT_EQ(make<RTMPDataMessage>(18, {0x00, 0x05, 0x01, 0x01})->arguments, (AMFList{AMFValue(), true}));
  EXPECT_EQ(RTMPMessage::make(18, 0, 0, {0x02, 0x00, 0x01, 'a', 0x03, 0x00}), nullptr);
}

TEST(CommandMessageTest, UnreadablePayloadsGiveNoMessageAndOddOnesAreCutOrClamped) {
  // Transaction id must be a number; the command object null or an object; the name good UTF-8.
  for (const Bytes& bad : {amf0({"x", "1"}), amf0({"x", 1.0, "object"}), Bytes{}, Bytes{0x02, 0x00, 0x02, 0xC3, 0x28, 0x00},
                           concat({amf0({"x", 1.0, AMFValue()}), Bytes{0x02, 0x00}})})
    EXPECT_EQ(RTMPMessage::make(20, 0, 0, bad), nullptr);
  // An unreadable first argument drops the message; a later one is cut off.
  const auto m = make<RTMPCommandMessage>(20, concat({amf0({"x", 1.0, AMFValue(), true}), Bytes{0x02, 0x00}}));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->arguments, (AMFList{true}));
  EXPECT_EQ(make<RTMPCommandMessage>(20, amf0({"x", 1e300, AMFValue()}))->transactionId, INT64_MAX);
  EXPECT_EQ(make<RTMPCommandMessage>(20, amf0({"x", NAN, AMFValue()}))->transactionId, 0);
}

TEST(SharedObjectMessageTest, StatusEventsCarryTwoTextsAndBadEventsAreSkippedByTheirLength) {
  // An unknown type with a 3-byte body and an event whose value is cut inside its length are skipped.
  const Bytes head = {0, 2, 's', 'o', 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  const auto read = make<RTMPSharedObjectMessage>(
      19, concat({head, Bytes{7, 0, 0, 0, 10, 0, 1, 'c', 0, 5, 'e', 'r', 'r', 'o', 'r'},
                  Bytes{0x30, 0, 0, 0, 3, 0xAA, 0xBB, 0xCC}, Bytes{4, 0, 0, 0, 4, 0, 1, 'a', 0x02}, Bytes{8, 0, 0, 0, 0}}));
  ASSERT_TRUE(read);
  ASSERT_EQ(read->events.size(), 2u);
  EXPECT_EQ(read->events[0].data, AMFValue("error"));
  EXPECT_EQ(read->events[1].type, RTMPSharedObjectType::clear);
  EXPECT_EQ(RTMPMessage::make(19, 0, 0, {0, 2, 's'}), nullptr);
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
