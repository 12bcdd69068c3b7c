// What the stream receives and the media it sends, on virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Medley/Codec/video_test_support.h"
#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Medley/Sources/Stream/RawPictureQueue.h"
#include "Medley/Sources/Stream/StreamBitRateStrategy.h"
#include "Medley/Sources/Stream/StreamOutput.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"
#include "StreamTestSupport.h"

using namespace rtmptest;
using namespace rtmpmedley;
using namespace platform;
using Strings = std::vector<std::string>;

namespace {

using StreamMediaTest = StreamTest;

SampleBufferRef encodedPicture(double dts, bool withDecodeTime = true) {
  static const auto format = [] {
    VideoExtensions ext;
    ext.sampleDescriptionAtoms["avcC"] = avcC(kAVCSPS, kAVCPPS);
    return FormatDescription::makeVideo(fourCC("avc1"), 320, 240, ext);
  }();
  SampleTiming t;
  t.presentationTime = MediaTime::fromSeconds(dts, 90000);
  if (withDecodeTime) t.decodeTime = t.presentationTime;
  const Bytes nal{0, 0, 0, 2, 0x65, 0x88};
  return SampleBuffer::makeData(BlockBuffer::copy(nal.data(), nal.size()), format, t);
}

AudioBufferRef aacPacket() {
  AudioStreamBasicDescription d;
  d.sampleRate = 48000;
  d.formatID = audioFormatID::mpeg4AAC;
  d.formatFlags = 2;  // AAC LC
  d.framesPerPacket = 1024;
  d.channelsPerFrame = 2;
  auto b = CompressedAudioBuffer::make(*AudioFormat::fromStreamDescription(d), 1, 16);
  const Bytes frame{0x21, 0x10, 0x04};
  b->setSinglePacket(frame.data(), static_cast<uint32_t>(frame.size()));
  return b;
}

struct CountingStrategy final : medley::StreamBitRateStrategy {
  int events = 0;
  int mamimumVideoBitRate() const override { return 0; }
  int mamimumAudioBitRate() const override { return 0; }
  Async<void> adjustBitRate(medley::NetworkMonitorEvent, std::shared_ptr<medley::StreamConvertible>) override {
    ++events;
    co_return;
  }
};

// What reaches the stream's outputs, in the actor's order: 'v' a picture, 'a' sound.
struct OrderOutput final : medley::StreamOutput {
  std::string order;
  std::vector<double> pictureTimes;
  void stream(medley::StreamConvertible&, const AudioBufferRef&, const AudioTime&) override { order += 'a'; }
  void stream(medley::StreamConvertible&, const SampleBufferRef& picture) override {
    order += 'v';
    pictureTimes.push_back(picture->presentationTime().seconds());
  }
};

// 320 x 240 at 30 pictures a second, in the order they come.
medley::VideoCodecSettings smallPicturesAt30() {
  medley::VideoCodecSettings video;
  video.videoSize = {320, 240};
  video.allowFrameReordering = false;
  video.expectedFrameRate = 30;
  return video;
}

// The `i`th picture handed to the stream by a mixer.
SampleBufferRef smallPicture(int i) {
  return videotest::makeFrame(videotest::makePicture(320, 240, i), videotest::frameTime(i));
}

}  // namespace

TEST_F(StreamMediaTest, HandedOffPicturesAreEncodedAtOnceAndABusyActorKeepsTheNewestHalfSecond) {
  auto stream = publishing();
  run(stream->setVideoSettings(smallPicturesAt30()));
  auto output = std::make_shared<OrderOutput>();
  run(stream->addOutput(output));
  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::manual, false, rt);

  // Sound handed off between pictures goes in between: each picture is a job of its own.
  stream->mixer(*mixer, smallPicture(0));
  stream->mixer(*mixer, smallPicture(1));
  auto pcm = PCMBuffer::make(AudioFormat::standard(48000, 2), 960);
  pcm->setFrameLength(960);
  stream->mixer(*mixer, pcm, AudioTime::withHostTime(seconds(0.02)));
  stream->mixer(*mixer, smallPicture(2));
  rt->runUntilIdle();
  EXPECT_EQ(output->order, "vavv");
  // Encoded without waiting for anything: the sequence header, then one frame per picture.
  EXPECT_EQ(sentOf<RTMPVideoMessage>().size(), 4u);

  // A second of pictures handed in while the actor does not run: the queue
  // holds the newest of them that span its bound, and counts the rest.
  for (int i = 3; i < 33; ++i) stream->mixer(*mixer, smallPicture(i));
  rt->runUntilIdle();
  const std::vector<double> kept(output->pictureTimes.begin() + 3, output->pictureTimes.end());
  const auto held = static_cast<size_t>(medley::RawPictureQueue::kDefaultSpan * 30 + 1e-9) + 1;
  ASSERT_EQ(kept.size(), held);
  EXPECT_DOUBLE_EQ(kept.front(), static_cast<double>(33 - held) / 30.0);
  EXPECT_DOUBLE_EQ(kept.back(), 32 / 30.0);
  EXPECT_EQ(run(stream->snapshot()).droppedVideoInput, 30u - held);
  EXPECT_EQ(sentOf<RTMPVideoMessage>().size(), 4u + held);
}

TEST_F(StreamMediaTest, AnInputBufferCountBoundsTheWaitingPicturesBesideTheSpanWhicheverIsTighter) {
  auto stream = publishing();
  run(stream->setVideoSettings(smallPicturesAt30()));
  auto output = std::make_shared<OrderOutput>();
  run(stream->addOutput(output));
  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::manual, false, rt);
  // A second of pictures each time, handed in while the actor does not run;
  // what is kept, and that the counts add up, with each bound.
  int next = 0;
  uint64_t dropped = 0;
  const auto second = [&](int counts) {
    run(stream->setVideoInputBufferCounts(counts));
    output->pictureTimes.clear();
    for (const int end = next + 30; next < end; ++next) stream->mixer(*mixer, smallPicture(next));
    rt->runUntilIdle();
    const auto kept = output->pictureTimes.size();
    dropped += 30 - kept;
    EXPECT_EQ(run(stream->snapshot()).droppedVideoInput, dropped) << counts;
    if (kept) EXPECT_DOUBLE_EQ(output->pictureTimes.back(), (next - 1) / 30.0) << "the newest always stays";
    return kept;
  };
  const auto bySpan = static_cast<size_t>(medley::RawPictureQueue::kDefaultSpan * 30 + 1e-9) + 1;
  EXPECT_EQ(second(3), 3u);
  EXPECT_EQ(second(1), 1u);
  EXPECT_EQ(second(100), bySpan) << "the span is the tighter bound";
  EXPECT_EQ(second(0), bySpan) << "no count: the span alone";
  EXPECT_EQ(run(stream->snapshot()).videoMessages, 3u + 1u + 2 * bySpan);
}

TEST_F(StreamMediaTest, PicturesWaitingLongerThanTheBoundForTheNetworkCostWholeGroupsUpToAKeyFrame) {
  auto stream = publishing();
  const auto picture = [](double time, bool key) {
    auto p = encodedPicture(time);
    p->setNotSync(!key);
    return p;
  };
  const auto deltas = [&] {
    std::vector<uint32_t> out;
    for (const auto& [m, r] : sentOf<RTMPVideoMessage>())
      if (m->payload()[1] != 0) out.push_back(m->timestamp);
    return out;
  };
  server.last()->holdOutput(true);
  // Pictures every half second from 1.0 s, a key frame every 2 s, nothing written on.
  for (double t = 1.0; t <= 5.0; t += 0.5) run(stream->append(picture(t, std::fmod(t - 1.0, 2.0) == 0)));
  EXPECT_EQ(deltas().size(), 9u);
  // 5.5 s: the picture of 1.0 s waits 4.5 s; the group ends here, and the
  // key frame of 7.0 s is dropped too while nothing moves.
  for (double t = 5.5; t <= 7.0; t += 0.5) run(stream->append(picture(t, t == 7.0)));
  server.last()->holdOutput(false);
  // Written on again: the rest of that group is still dropped, the next key frame goes.
  run(stream->append(picture(7.5, false)));
  run(stream->append(picture(9.0, true)));
  run(stream->append(picture(9.5, false)));
  const auto d = deltas();
  ASSERT_EQ(d.size(), 11u);
  // The first picture after the gap carries it: 5.0 s to 9.0 s.
  EXPECT_EQ(std::vector<uint32_t>(d.end() - 3, d.end()), (std::vector<uint32_t>{500, 4000, 500}));
  EXPECT_EQ(run(stream->snapshot()).droppedVideoOutput, 5u);
}

TEST_F(StreamMediaTest, EncodedMediaGoesOutHeaderFirstWithCarriedDeltasAndIsCountedPerReport) {
  auto stream = publishing();
  for (int i = 0; i < 10; ++i) run(stream->append(encodedPicture(1.0 + i / 64.0)));
  // The same time again is dropped and not counted; a picture without a decode time uses its presentation time.
  run(stream->append(encodedPicture(1.0 + 9 / 64.0)));
  run(stream->append(encodedPicture(1.0 + 10 / 64.0, false)));
  run(stream->append(aacPacket(), AudioTime::withHostTime(seconds(1.0))));
  run(stream->append(aacPacket(), AudioTime::withHostTime(seconds(1.0 + 1024 / 48000.0))));

  auto video = sentOf<RTMPVideoMessage>();
  ASSERT_EQ(video.size(), 12u);
  EXPECT_EQ(video[0].first->payload()[1], 0);  // AVC sequence header
  std::vector<uint32_t> deltas;
  for (const auto& [m, r] : video) {
    EXPECT_TRUE(r.chunkStreamId == 5u && m->streamId == 1u);
    deltas.push_back(m->timestamp);
  }
  EXPECT_EQ(deltas, (std::vector<uint32_t>{0, 0, 15, 16, 15, 16, 16, 15, 16, 16, 15, 16}));
  // The composition offset peers rely on: 66 ms on a frame whose times are equal.
  EXPECT_EQ(video[1].first->compositionTime(), 66);
  auto audio = sentOf<RTMPAudioMessage>();
  ASSERT_EQ(audio.size(), 3u);
  EXPECT_EQ(audio[0].first->payload()[1], 0);  // AAC sequence header
  std::vector<std::pair<RTMPChunkType, uint32_t>> sound;
  for (const auto& [m, r] : audio) {
    EXPECT_EQ(r.chunkStreamId, 4u);
    sound.push_back({r.chunkType, m->timestamp});
  }
  EXPECT_EQ(sound, (std::vector<std::pair<RTMPChunkType, uint32_t>>{
                       {RTMPChunkType::zero, 0}, {RTMPChunkType::one, 0}, {RTMPChunkType::one, 21}}));

  // Each monitor report reaches the bit-rate strategy and starts the counts again.
  const auto s = run(stream->snapshot());
  auto strategy = std::make_shared<CountingStrategy>();
  run(stream->setBitRateStrategy(strategy));
  run(stream->dispatch(medley::NetworkMonitorEvent::reset()));
  const auto after = run(stream->snapshot());
  EXPECT_EQ(strategy->events, 1);
  EXPECT_EQ(std::tuple(s.frameCount, after.currentFPS, after.frameCount), std::tuple(11, 11, 0));
  EXPECT_EQ(after.info.previousByteCount, s.info.byteCount);
}

TEST_F(StreamMediaTest, WhatTheEncodersStillHoldGoesOutBeforeTheCloseAndNothingAfterIt) {
  auto stream = publishing();
  run(stream->setVideoSettings(smallPicturesAt30()));
  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::manual, false, rt);
  // A few pictures and a tenth of a second of sound, part of which the sound
  // encoder holds until its stream ends.
  for (int i = 0; i < 3; ++i) stream->mixer(*mixer, smallPicture(i));
  auto pcm = PCMBuffer::make(AudioFormat::standard(48000, 2), 4800);
  pcm->setFrameLength(4800);
  pcm->zero();
  stream->mixer(*mixer, pcm, AudioTime::withHostTime(seconds(0.0)));
  rt->runUntilIdle();
  const size_t soundBeforeClose = sentOf<RTMPAudioMessage>().size();

  // The ingest takes media after the close for a stream of its own (a
  // recording started anew over the one just ended): none may follow it. A
  // second close made while the first waits for that media sends nothing.
  auto close = platform::spawn(rt->globalQueue(), stream->closeStream());
  auto again = platform::spawn(rt->globalQueue(), stream->closeStream());
  rt->runUntilIdle();
  ASSERT_TRUE(close.isFinished() && again.isFinished());
  // One of them closes the stream; the other finds it closed.
  ASSERT_NE(streamError(close).has_value(), streamError(again).has_value());
  const auto& refused = streamError(close) ? close : again;
  const auto& closed = streamError(close) ? again : close;
  EXPECT_EQ(streamError(refused)->kind(), RTMPStream::Error::Kind::invalidState);
  EXPECT_EQ(closed.result().status->code, "NetStream.Unpublish.Success");
  std::vector<std::string> order;
  for (const auto& r : server.last()->records()) {
    if (auto c = std::dynamic_pointer_cast<RTMPCommandMessage>(r.message)) order.push_back(c->commandName);
    else if (std::dynamic_pointer_cast<RTMPAudioMessage>(r.message)) order.push_back("sound");
    else if (std::dynamic_pointer_cast<RTMPVideoMessage>(r.message)) order.push_back("picture");
  }
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(order.back(), "closeStream");
  EXPECT_EQ(std::count(order.begin(), order.end(), "closeStream"), 1);
  // The encoder's tail did go out: 4800 frames are at least four whole packets besides the header.
  const auto sound = sentOf<RTMPAudioMessage>();
  EXPECT_GT(sound.size(), soundBeforeClose);
  EXPECT_GE(sound.size(), 1u + 4u);
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::idle);
}

TEST_F(StreamMediaTest, NoHeaderGoesOutBeforeThePublishAndSoundThatCannotBeCarriedIsRefused) {
  auto stream = connected();
  run(stream->append(encodedPicture(1.0)));
  for (const auto& [m, r] : sentOf<RTMPVideoMessage>()) EXPECT_NE(m->payload()[1], 0);
  medley::AudioCodecSettings audio;
  audio.format = medley::AudioCodecSettings::Format::pcm;
  EXPECT_EQ(streamError(start(stream->setAudioSettings(audio)))->kind(), RTMPStream::Error::Kind::unsupportedCodec);
  EXPECT_EQ(run(stream->audioSettings()).format, medley::AudioCodecSettings::Format::aac);
}

TEST_F(StreamMediaTest, WhatAPlayingStreamReceives) {
  auto stream = playing();
  const auto sentBytes = run(stream->snapshot()).info.byteCount;
  Collected<RTMPStatus> statuses(rt->globalQueue(), run(stream->status()));
  const auto data = [&](const char* handler, AMFList arguments) {
    run(stream->dispatch(std::make_shared<RTMPDataMessage>(1, 0, RTMPObjectEncoding::amf0, handler, arguments),
                         RTMPChunkType::zero));
    return run(stream->snapshot());
  };
  AMFArray meta;
  meta.set("width", AMFValue(640.0));
  // Missing arguments read as absent values.
  EXPECT_EQ(data("onMetaData", {AMFValue(meta)}).metadata, meta);
  EXPECT_EQ(data("onMetaData", {}).metadata, AMFArray());
  const auto access = data("|RtmpSampleAccess", {AMFValue(false)});
  EXPECT_EQ(std::pair(access.audioSampleAccess, access.videoSampleAccess), std::pair(false, true));
  for (auto event : {RTMPUserControlMessage::Event::bufferFull, RTMPUserControlMessage::Event::streamEof})
    run(stream->dispatch(std::make_shared<RTMPUserControlMessage>(0, 0, event, 1), RTMPChunkType::zero));
  server.last()->sendStatus("onStatus", 0, "NetStream.Play.InsufficientBW", "warning", "", 1);
  rt->runUntilIdle();
  EXPECT_EQ(codes(statuses.values()), (Strings{"NetStream.Buffer.Full", "NetStream.Play.InsufficientBW"}));
  const auto first = statuses.values().front();
  EXPECT_EQ(std::pair(first.level, first.description), (std::pair<std::string, std::string>("status", "")));
  // A video payload too short for its header is ignored; received bytes count like sent ones.
  run(stream->dispatch(std::make_shared<RTMPVideoMessage>(1, 0, Data{0x17, 0, 0, 0}), RTMPChunkType::zero));
  const auto s = run(stream->snapshot());
  EXPECT_FALSE(s.videoFormat);
  EXPECT_GT(s.info.byteCount, sentBytes);
}
