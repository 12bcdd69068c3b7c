#include <gtest/gtest.h>

#include "Logwell/RecordingAppender.h"
#include "Medley/Codec/audio_test_support.h"
#include "Medley/Codec/video_test_support.h"
#include "Medley/Sources/Stream/OutgoingStream.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Medley/Util/virtual_run.h"

using medley::OutgoingStream;
using medley::VideoCodecSettings;
using medleytest::Collector;
using platform::MediaTime;
using platform::SampleBufferRef;

namespace {

SampleBufferRef makeVideoFrame(int width, int height, int frame) {
  return videotest::makeFrame(videotest::makePicture(width, height, frame), MediaTime(frame, 30));
}

struct OutgoingStreamTest : testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  OutgoingStream stream;

  std::vector<MediaTime> times(const std::vector<SampleBufferRef>& buffers) {
    std::vector<MediaTime> out;
    for (const auto& b : buffers) out.push_back(b->presentationTime());
    return out;
  }
};

VideoCodecSettings smallSettings(const std::string& profileLevel) {
  VideoCodecSettings settings;
  settings.videoSize = {320, 240};
  settings.bitRate = 400'000;
  settings.setProfileLevel(profileLevel);
  settings.expectedFrameRate = 30;
  settings.allowFrameReordering = false;  // as for live
  return settings;
}

}  // namespace

class OutgoingStreamEncodingTest : public OutgoingStreamTest,
                                   public testing::WithParamInterface<std::pair<const char*, platform::FourCC>> {};

TEST_P(OutgoingStreamEncodingTest, EveryRawFrameFromTimeZeroOnComesOutEncodedInOrder) {
  const auto [profileLevel, codec] = GetParam();
  stream.setVideoSettings(smallSettings(profileLevel));
  stream.startRunning();
  Collector<SampleBufferRef> encoded(rt, stream.videoOutputStream());

  // The owner's pump: raw frames from the input queue to the encoder, which
  // here is given the time to take each one (it drops what it cannot take).
  auto input = stream.videoInputStream();
  auto pump = platform::spawn(
      rt->globalQueue(),
      [](platform::AsyncStream<SampleBufferRef> in, OutgoingStream* out) -> platform::Async<void> {
        while (auto frame = co_await in.next()) {
          out->appendVideo(*frame);
          out->videoCodec().completeFrames();
        }
      },
      input, &stream);
  // The first picture of a stream may well be stamped zero: it is encoded too.
  for (int i = 0; i < 12; ++i) stream.append(makeVideoFrame(320, 240, i));
  rt->runUntilIdle();
  stream.videoCodec().completeFrames();
  stream.stopRunning();  // drains the encoder and ends both sequences
  rt->runUntilIdle();

  EXPECT_TRUE(pump.isFinished());
  ASSERT_TRUE(encoded.ended());
  std::vector<MediaTime> expected;
  for (int i = 0; i < 12; ++i) expected.push_back(MediaTime(i, 30));
  ASSERT_EQ(times(encoded.values()), expected);
  EXPECT_TRUE(encoded.values().front()->isSync());
  const auto& format = encoded.values().front()->formatDescription();
  EXPECT_EQ(format->mediaSubType(), codec);
  EXPECT_NE(format->decoderConfigurationData(), nullptr);
  EXPECT_EQ(stream.videoInputDroppedFrameCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Codecs, OutgoingStreamEncodingTest,
                         testing::Values(std::make_pair("H264_Main_AutoLevel", platform::codec::h264),
                                         std::make_pair("HEVC_Main_AutoLevel", platform::codec::hevc)));

TEST_F(OutgoingStreamTest, ABoundedInputQueueKeepsTheNewestFramesAndCountsTheRest) {
  stream.setVideoInputBufferCounts(2);
  auto input = stream.videoInputStream();
  for (int i = 0; i < 3; ++i) stream.append(makeVideoFrame(64, 48, i));
  stream.setVideoInputBufferCounts(-1);  // read only when a sequence is made
  stream.append(makeVideoFrame(64, 48, 3));
  stream.stopRunning();  // not running: the queue stays
  EXPECT_EQ(stream.videoInputDroppedFrameCount(), 2u);
  Collector<SampleBufferRef> reader(rt, input);
  rt->runUntilIdle();
  EXPECT_EQ(times(reader.values()), (std::vector<MediaTime>{MediaTime(2, 30), MediaTime(3, 30)}));
}

TEST_F(OutgoingStreamTest, WithoutALimitOfItsOwnTheQueueDropsNothingUntilItsSafetyBound) {
  stream.setVideoInputBufferCounts(0);
  auto input = stream.videoInputStream();
  auto picture = makeVideoFrame(64, 48, 0);
  const int total = static_cast<int>(OutgoingStream::kVideoInputBufferLimit) + 5;
  for (int i = 0; i < total; ++i) stream.append(picture->withTiming({MediaTime(1, 30), MediaTime(i, 30), {}}));
  EXPECT_EQ(stream.videoInputDroppedFrameCount(), 5u);
  EXPECT_EQ(input.bufferedCount(), OutgoingStream::kVideoInputBufferLimit);

  Collector<SampleBufferRef> reader(rt, input);
  rt->runUntilIdle();
  ASSERT_FALSE(reader.values().empty());
  EXPECT_EQ(reader.values().front()->presentationTime(), MediaTime(5, 30)) << "the oldest went first";
}

TEST_F(OutgoingStreamTest, AFrameBeforeAnyoneReadsIsDroppedButItsFormatKept) {
  stream.append(makeVideoFrame(64, 48, 0));
  EXPECT_EQ(stream.videoInputFormat()->dimensions(), (platform::VideoDimensions{64, 48}));
  auto input = stream.videoInputStream();
  EXPECT_EQ(input.bufferedCount(), 0u);
  EXPECT_EQ(stream.videoInputDroppedFrameCount(), 0u);
}

TEST_F(OutgoingStreamTest, ANewInputSequenceEndsTheOneBefore) {
  Collector<SampleBufferRef> first(rt, stream.videoInputStream());
  Collector<SampleBufferRef> second(rt, stream.videoInputStream());
  stream.append(makeVideoFrame(64, 48, 0));
  rt->runUntilIdle();
  EXPECT_TRUE(first.ended() && first.values().empty());
  EXPECT_EQ(second.values().size(), 1u);
}

TEST_F(OutgoingStreamTest, StopEndsAWaitingReaderAndALaterSequenceWorks) {
  stream.startRunning();
  stream.startRunning();
  Collector<SampleBufferRef> reader(rt, stream.videoInputStream());
  rt->runUntilIdle();
  stream.stopRunning();
  rt->runUntilIdle();
  EXPECT_TRUE(reader.ended());
  EXPECT_FALSE(stream.videoCodec().isRunning());

  Collector<SampleBufferRef> again(rt, stream.videoInputStream());
  stream.append(makeVideoFrame(64, 48, 1));
  rt->runUntilIdle();
  EXPECT_EQ(again.values().size(), 1u);
  EXPECT_NE(stream.videoInputFormat(), nullptr) << "formats survive a stop";
}

// The program sound's clock jumps a minute ahead (a suspended machine, a
// replaced source): the encoder does not make a minute of silence packets on
// the spot, the sound before the jump ends with its own times and the time
// line starts again at the late buffer. The jump is logged once.
TEST_F(OutgoingStreamTest, ASoundTimeJumpLongerThanTheRingStartsTheTimeLineAgain) {
  auto recorder = std::make_shared<logwell::testing::RecordingAppender>();
  const auto previousAppender = medley::logger().appender();
  const auto previousLevel = medley::logger().level();
  medley::logger().setAppender(recorder);
  medley::logger().setLevel(logwell::LWLogLevel::warn);

  stream.startRunning();
  Collector<medley::AudioCodec::Output> packets(rt, stream.audioOutputStream());
  const platform::Nanos start = 5'000'000'000, jump = 60'000'000'000;
  auto feed = [&](platform::Nanos from) {
    const int64_t first = from * 48 / 1'000'000;
    for (int64_t i = 0; i < 10; ++i)
      stream.append(audiotest::sine(audiotest::kStereo, i * 1024, 1024),
                    audiotest::timeOf(first + i * 1024, 48000, 0));
  };
  feed(start);
  feed(start + jump);
  rt->runUntilIdle();
  stream.stopRunning();
  rt->runUntilIdle();
  medley::logger().setAppender(previousAppender);
  medley::logger().setLevel(previousLevel);

  // 2 x 10240 frames and the encoder's delay: about 22 packets, not 2,800.
  const auto& out = packets.values();
  ASSERT_LE(out.size(), 30u);
  ASSERT_GE(out.size(), 20u);
  const double end = platform::toSeconds(start + jump) + 10 * 1024 / 48000.0;
  size_t before = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    const double t = platform::toSeconds(out[i].second.hostTime);
    if (i > 0) EXPECT_GT(out[i].second.hostTime, out[i - 1].second.hostTime) << "packet " << i;
    EXPECT_TRUE(t < platform::toSeconds(start) + 0.3 || (t > platform::toSeconds(start + jump) && t < end + 0.1))
        << "packet " << i << " at " << t << " s";
    if (t < platform::toSeconds(start) + 0.3) ++before;
  }
  EXPECT_GE(before, 10u) << "the sound before the jump is all there";
  size_t jumps = 0;
  for (const auto& r : recorder->snapshot())
    if (r.message.find("later than expected") != std::string::npos) ++jumps;
  EXPECT_EQ(jumps, 1u);
}
