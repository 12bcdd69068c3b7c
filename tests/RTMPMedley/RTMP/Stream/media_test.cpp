// What the stream receives and the media it sends, on virtual time.
#include <gtest/gtest.h>

#include "Medley/Sources/Stream/StreamBitRateStrategy.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/PixelBuffer.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"
#include "StreamTestSupport.h"

using namespace rtmptest;
using namespace rtmpmedley;
using namespace platform;
using medley::StreamReadyState;
using Strings = std::vector<std::string>;

namespace {

using StreamMediaTest = StreamTest;

FormatDescriptionRef h264() {
  VideoExtensions ext;
  ext.sampleDescriptionAtoms["avcC"] = rtmptest::avcC(rtmptest::kAVCSPS, rtmptest::kAVCPPS);
  return FormatDescription::makeVideo(fourCC("avc1"), 320, 240, ext);
}

SampleBufferRef encodedPicture(const FormatDescriptionRef& format, double dts, bool withDecodeTime = true) {
  SampleTiming t;
  t.presentationTime = MediaTime::fromSeconds(dts, 90000);
  if (withDecodeTime) t.decodeTime = MediaTime::fromSeconds(dts, 90000);
  const Bytes nal{0, 0, 0, 2, 0x65, 0x88};
  return SampleBuffer::makeData(BlockBuffer::copy(nal.data(), nal.size()), format, t);
}

SampleBufferRef rawPicture() {
  SampleTiming t;
  t.presentationTime = MediaTime::fromSeconds(1, 30);
  return SampleBuffer::makeImage(PixelBuffer::make(64, 48, PixelFormat::nv12VideoRange), t);
}

AudioFormat aac() {
  AudioStreamBasicDescription d;
  d.sampleRate = 48000;
  d.formatID = audioFormatID::mpeg4AAC;
  d.formatFlags = 2;  // AAC LC
  d.framesPerPacket = 1024;
  d.channelsPerFrame = 2;
  return *AudioFormat::fromStreamDescription(d);
}

AudioBufferRef aacPacket() {
  auto b = CompressedAudioBuffer::make(aac(), 1, 16);
  const Bytes frame{0x21, 0x10, 0x04};
  b->setSinglePacket(frame.data(), static_cast<uint32_t>(frame.size()));
  return b;
}

class CountingStrategy final : public medley::StreamBitRateStrategy {
 public:
  int events = 0;
  int mamimumVideoBitRate() const override { return 0; }
  int mamimumAudioBitRate() const override { return 0; }
  Async<void> adjustBitRate(medley::NetworkMonitorEvent, std::shared_ptr<medley::StreamConvertible>) override {
    ++events;
    co_return;
  }
};

}  // namespace

TEST_F(StreamMediaTest, EncodedPicturesGoOutHeaderFirstWithCarriedDeltas) {
  auto stream = publishing();
  const auto format = h264();
  for (int i = 0; i < 10; ++i) run(stream->append(encodedPicture(format, 1.0 + i / 64.0)));
  // The same time again is dropped and not counted; a picture without a decode time uses its presentation time.
  run(stream->append(encodedPicture(format, 1.0 + 9 / 64.0)));
  run(stream->append(encodedPicture(format, 1.0 + 10 / 64.0, false)));
  auto video = sentOf<RTMPVideoMessage>();
  ASSERT_EQ(video.size(), 12u);
  EXPECT_EQ(video[0].first->payload()[1], 0);  // AVC sequence header
  EXPECT_EQ(video[0].second.chunkType, RTMPChunkType::zero);
  std::vector<uint32_t> deltas;
  for (size_t i = 1; i < video.size(); ++i) {
    EXPECT_EQ(video[i].second.chunkStreamId, 5u);
    EXPECT_EQ(video[i].first->streamId, 1u);
    deltas.push_back(video[i].first->timestamp);
  }
  EXPECT_EQ(deltas, (std::vector<uint32_t>{0, 15, 16, 15, 16, 16, 15, 16, 16, 15, 16}));
  // The composition offset peers rely on: 66 ms on a frame whose times are equal.
  EXPECT_EQ(video[1].first->compositionTime(), 66);

  auto s = run(stream->snapshot());
  EXPECT_EQ(s.frameCount, 11);
  auto strategy = std::make_shared<CountingStrategy>();
  run(stream->setBitRateStrategy(strategy));
  const auto bytes = s.info.byteCount;
  run(stream->dispatch(medley::NetworkMonitorEvent::reset()));
  s = run(stream->snapshot());
  EXPECT_EQ(strategy->events, 1);
  EXPECT_EQ(s.currentFPS, 11);
  EXPECT_EQ(s.frameCount, 0);
  EXPECT_EQ(s.info.previousByteCount, bytes);
  run(stream->dispatch(medley::NetworkMonitorEvent::reset()));
  EXPECT_EQ(run(stream->snapshot()).info.currentBytesPerSecond, 0);
}

TEST_F(StreamMediaTest, EncodedSoundGoesOutHeaderFirstOnChunkStreamFour) {
  auto stream = publishing();
  run(stream->append(aacPacket(), AudioTime::withHostTime(seconds(1.0))));
  run(stream->append(aacPacket(), AudioTime::withHostTime(seconds(1.0 + 1024 / 48000.0))));
  auto audio = sentOf<RTMPAudioMessage>();
  ASSERT_EQ(audio.size(), 3u);
  EXPECT_EQ(audio[0].first->payload(), (Bytes{0xAF, 0x00, 0x11, 0x90}));
  EXPECT_EQ(audio[0].second.chunkType, RTMPChunkType::zero);
  EXPECT_EQ(audio[1].first->payload(), (Bytes{0xAF, 0x01, 0x21, 0x10, 0x04}));
  EXPECT_EQ(audio[1].second.chunkType, RTMPChunkType::one);
  EXPECT_EQ(audio[1].first->timestamp, 0u);
  EXPECT_EQ(audio[2].first->timestamp, 21u);
  for (const auto& a : audio) EXPECT_EQ(a.second.chunkStreamId, 4u);
}

TEST_F(StreamMediaTest, MediaBeforeThePublishSendsNoHeader) {
  auto stream = connected();
  run(stream->append(encodedPicture(h264(), 1.0)));
  // A frame may go out, but no header is announced outside publishing.
  for (const auto& [m, r] : sentOf<RTMPVideoMessage>()) EXPECT_NE(m->payload()[1], 0);
}

TEST_F(StreamMediaTest, MetadataTable) {
  auto stream = connected();
  auto metadata = run(stream->makeMetadata());
  EXPECT_EQ(metadata.dict.size(), 1u);
  EXPECT_EQ(metadata.get("duration"), AMFValue(0.0));

  medley::VideoCodecSettings video;
  video.videoSize = {1280, 720};
  video.bitRate = 4000000;
  video.expectedFrameRate = 30;
  run(stream->setVideoSettings(video));
  medley::AudioCodecSettings audio;
  audio.bitRate = 96000;
  run(stream->setAudioSettings(audio));
  run(stream->append(rawPicture()));
  auto pcm = PCMBuffer::make(AudioFormat::standard(48000, 2), 1024);
  pcm->setFrameLength(1024);
  run(stream->append(AudioBufferRef(pcm), AudioTime::withHostTime(seconds(1))));
  metadata = run(stream->makeMetadata());
  EXPECT_EQ(metadata.get("width"), AMFValue(1280.0));
  EXPECT_EQ(metadata.get("height"), AMFValue(720.0));
  EXPECT_EQ(metadata.get("videocodecid"), AMFValue(7.0));
  EXPECT_EQ(metadata.get("videodatarate"), AMFValue(4000.0));
  EXPECT_EQ(metadata.get("framerate"), AMFValue(30.0));
  EXPECT_EQ(metadata.get("audiocodecid"), AMFValue(10.0));
  EXPECT_EQ(metadata.get("audiodatarate"), AMFValue(96.0));
  EXPECT_EQ(metadata.get("audiosamplerate"), AMFValue(48000.0));

  video.setProfileLevel("HEVC_Main_AutoLevel");
  run(stream->setVideoSettings(video));
  EXPECT_EQ(run(stream->makeMetadata()).get("videocodecid"), AMFValue(1752589105.0));
  // PCM cannot be carried: refused, the settings stay.
  audio.format = medley::AudioCodecSettings::Format::pcm;
  auto refused = start(stream->setAudioSettings(audio));
  EXPECT_EQ(streamError(refused)->kind(), RTMPStream::Error::Kind::unsupportedCodec);
  EXPECT_EQ(run(stream->audioSettings()).format, medley::AudioCodecSettings::Format::aac);
}

TEST_F(StreamMediaTest, ReceivedDataStatusesAndControlEvents) {
  auto stream = connected();
  Collected<RTMPStatus> statuses(rt->globalQueue(), run(stream->status()));
  AMFArray meta;
  meta.set("width", AMFValue(640.0));
  const std::vector<std::pair<AMFList, AMFArray>> metadataTable = {
      {{AMFValue(meta)}, meta},
      {{AMFValue("not an array")}, AMFArray()},
      // Missing arguments read as absent values.
      {{}, AMFArray()},
  };
  for (const auto& [arguments, expected] : metadataTable) {
    run(stream->dispatch(std::make_shared<RTMPDataMessage>(1, 0, RTMPObjectEncoding::amf0, "onMetaData", arguments),
                         RTMPChunkType::zero));
    EXPECT_EQ(run(stream->snapshot()).metadata, expected);
  }
  const std::vector<std::tuple<AMFList, bool, bool>> accessTable = {
      {{AMFValue(false), AMFValue(false)}, false, false},
      {{AMFValue("x"), AMFValue(false)}, true, false},
      {{AMFValue(false)}, false, true},
      {{}, true, true},
  };
  for (const auto& [arguments, audio, video] : accessTable) {
    run(stream->dispatch(
        std::make_shared<RTMPDataMessage>(1, 0, RTMPObjectEncoding::amf0, "|RtmpSampleAccess", arguments),
        RTMPChunkType::zero));
    auto s = run(stream->snapshot());
    EXPECT_EQ(s.audioSampleAccess, audio);
    EXPECT_EQ(s.videoSampleAccess, video);
  }
  run(stream->dispatch(std::make_shared<RTMPUserControlMessage>(0, 0, RTMPUserControlMessage::Event::bufferFull, 1),
                       RTMPChunkType::zero));
  run(stream->dispatch(std::make_shared<RTMPUserControlMessage>(0, 0, RTMPUserControlMessage::Event::streamEof, 1),
                       RTMPChunkType::zero));
  // A command other than "onStatus" is only logged.
  run(stream->dispatch(std::make_shared<RTMPCommandMessage>(1, 0, RTMPObjectEncoding::amf0, "onFI", 0, std::nullopt,
                                                            AMFList{}),
                       RTMPChunkType::zero));
  server.last()->sendStatus("onStatus", 0, "NetStream.Play.InsufficientBW", "warning", "", 1);
  rt->runUntilIdle();
  EXPECT_EQ(codes(statuses.values()), (Strings{"NetStream.Buffer.Full", "NetStream.Play.InsufficientBW"}));
  EXPECT_EQ(statuses.values().front().level, "status");
  EXPECT_EQ(statuses.values().front().description, "");
  // Received bytes count like sent ones.
  EXPECT_GT(run(stream->snapshot()).info.byteCount, 0);
}

TEST_F(StreamMediaTest, StatusWithoutCodeFailsTheWaitingCommandAndIsNotYielded) {
  auto stream = connected();
  Collected<RTMPStatus> statuses(rt->globalQueue(), run(stream->status()));
  auto publish = start(stream->publish("key"));
  server.last()->sendCommand("onStatus", 0, std::nullopt, AMFList{AMFValue(AMFObject{{"level", AMFValue("status")}})},
                             1);
  rt->runUntilIdle();
  ASSERT_TRUE(publish.isFinished());
  auto error = streamError(publish);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), RTMPStream::Error::Kind::requestFailed);
  EXPECT_FALSE(error->response()->status);
  EXPECT_TRUE(statuses.values().empty());
}

TEST_F(StreamMediaTest, PlayedMessagesAreTimedByTheServersTimestamps) {
  auto stream = playing();
  run(stream->dispatch(std::make_shared<RTMPAudioMessage>(1, 2000, Data{0xAF, 0x00, 0x11, 0x90}), RTMPChunkType::zero));
  auto s = run(stream->snapshot());
  EXPECT_DOUBLE_EQ(s.audioTimestamp.startedAt(), 2.0);
  ASSERT_TRUE(s.audioFormat);
  EXPECT_EQ(s.audioFormat->sampleRate(), 48000);
  run(stream->dispatch(std::make_shared<RTMPAudioMessage>(1, 23, Data{0xAF, 0x01, 0x21}), RTMPChunkType::one));
  EXPECT_DOUBLE_EQ(run(stream->snapshot()).audioTimestamp.updatedAt(), 2.023);
  // A 4-byte video payload is ignored, timing aside.
  run(stream->dispatch(std::make_shared<RTMPVideoMessage>(1, 0, Data{0x17, 0, 0, 0}), RTMPChunkType::zero));
  EXPECT_FALSE(run(stream->snapshot()).videoFormat);
  const Bytes header = concat({Bytes{0x17, 0, 0, 0, 0}, rtmptest::avcC(rtmptest::kAVCSPS, rtmptest::kAVCPPS)});
  run(stream->dispatch(std::make_shared<RTMPVideoMessage>(1, 0, Data(header.begin(), header.end())),
                       RTMPChunkType::zero));
  EXPECT_TRUE(run(stream->snapshot()).videoFormat);
}
