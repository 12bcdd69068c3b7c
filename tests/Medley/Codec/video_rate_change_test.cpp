// Live bit-rate changes through the codec, measured on what the encoders give
// out: every rate mode of both codecs follows a drop and a raise, key frames
// keep their cadence, and a change that cannot be applied says so.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "Medley/Sources/Codec/VTCompressionSession.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"
#include "Medley/Codec/video_test_support.h"

using namespace medley;
using namespace videotest;

namespace {

using Format = VideoCodecSettings::Format;
constexpr int kWidth = 320;
constexpr int kHeight = 180;
constexpr int kNoise = 24;  // the encoders spend what they are given

VideoCodecSettings settingsFor(Format format, VideoCodecSettings::BitRateMode mode,
                               std::optional<std::vector<double>> limits, int bitRate) {
    return VideoCodecSettings({kWidth, kHeight}, bitRate,
                              format == Format::hevc ? VTProfileLevel::hevcMainAutoLevel : VTProfileLevel::h264HighAutoLevel,
                              VideoCodecSettings::ScalingMode::trim, std::move(mode), 2, false, std::move(limits), false,
                              true, 30.0);
}

// Frames 1...count at i/30 s; `change` may set new settings before frame i.
struct Run {
    std::vector<SampleBufferRef> samples;  // by frame number - 1
    std::vector<int> keyFrames;            // frame numbers

    double kilobitsPerSecond(int from, int to) const {  // frame numbers, `to` excluded
        double bytes = 0;
        for (int i = from; i < to; ++i) bytes += double(samples.at(i - 1)->dataBuffer()->size());
        return bytes * 8 * 30 / (to - from) / 1000;
    }
};

Run encode(const VideoCodecSettings& settings, int count, const std::function<void(int, VideoCodec&)>& change) {
    VideoCodec codec;
    codec.setSettings(settings);
    auto stream = codec.outputStream();
    codec.startRunning();
    for (int i = 1; i <= count; ++i) {
        change(i, codec);
        codec.append(makeFrame(makePicture(kWidth, kHeight, i, kNoise), frameTime(i)));
        codec.completeFrames();
    }
    EXPECT_EQ(codec.droppedFrameCount(), 0u);
    codec.stopRunning();
    Run run;
    run.samples = drain(stream);
    EXPECT_EQ(run.samples.size(), std::size_t(count));
    for (std::size_t i = 0; i < run.samples.size(); ++i) {
        if (run.samples[i]->isSync()) run.keyFrames.push_back(int(i) + 1);
    }
    return run;
}

void setBitRate(VideoCodec& codec, int bitRate) {
    auto s = codec.settings();
    s.bitRate = bitRate;
    EXPECT_EQ(codec.setSettings(s), VTStatus::noErr);
}

struct ModeCase {
    const char* name;
    VideoCodecSettings::BitRateMode mode;
    std::optional<std::vector<double>> limits;
};

ModeCase modeCase(int index) {
    switch (index) {
        case 0: return {"AverageWithLimits", VideoCodecSettings::BitRateMode::average(), std::vector<double>{0, 0}};
        case 1: return {"Average", VideoCodecSettings::BitRateMode::average(), std::nullopt};
        case 2: return {"Constant", VideoCodecSettings::BitRateMode::constant(), std::nullopt};
        default: return {"Variable", VideoCodecSettings::BitRateMode::variable(), std::nullopt};
    }
}

class VideoRateChange : public ::testing::TestWithParam<std::tuple<Format, int>> {};

}  // namespace

// A drop mid-interval restarts the encoder at once, its key frame restarting
// the 2 s schedule (frames 45, 105, 165, ...); a raise waits for the next
// scheduled key frame. Two seconds after each change the output is within
// 20 % of the new rate.
TEST_P(VideoRateChange, FollowsADropAndARaiseWithinTwoSecondsKeepingTheKeyFrameCadence) {
    const auto [format, modeIndex] = GetParam();
    const auto mode = modeCase(modeIndex);
    constexpr int kDropAt = 45, kRaiseAt = 195, kFrames = 315;
    const auto run = encode(settingsFor(format, mode.mode, mode.limits, 1'000'000), kFrames, [](int i, VideoCodec& codec) {
        if (i == kDropAt) setBitRate(codec, 250'000);
        if (i == kRaiseAt) setBitRate(codec, 700'000);
    });
    ASSERT_EQ(run.samples.size(), std::size_t(kFrames));
    EXPECT_NEAR(run.kilobitsPerSecond(kDropAt + 60, kDropAt + 120), 250, 50);
    EXPECT_NEAR(run.kilobitsPerSecond(kRaiseAt + 60, kRaiseAt + 120), 700, 140);
    EXPECT_EQ(run.keyFrames, (std::vector<int>{1, kDropAt, 105, 165, 225, 285}));
}

INSTANTIATE_TEST_SUITE_P(CodecsAndModes, VideoRateChange,
                         ::testing::Combine(::testing::Values(Format::h264, Format::hevc), ::testing::Values(0, 1, 2, 3)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Format::hevc ? "HEVC" : "H264") +
                                    modeCase(std::get<1>(info.param)).name;
                         });

// A controller that changes the rate every few frames costs at most one
// extra key frame per interval: the changes merge and the last one applies.
TEST(VideoRateChangeCoalescing, ChangesWithinAnIntervalMergeIntoOneRestart) {
    const auto run = encode(settingsFor(Format::hevc, VideoCodecSettings::BitRateMode::average(), std::nullopt, 1'000'000),
                            200, [](int i, VideoCodec& codec) {
                                if (i == 45) setBitRate(codec, 600'000);
                                if (i == 55) setBitRate(codec, 400'000);
                                if (i == 65) setBitRate(codec, 800'000);
                                if (i == 75) setBitRate(codec, 300'000);
                                if (i == 120) setBitRate(codec, 1'000'000);  // back before the key frame: nothing to do
                                if (i == 125) setBitRate(codec, 300'000);
                            });
    EXPECT_EQ(run.keyFrames, (std::vector<int>{1, 45, 105, 165}));
    EXPECT_NEAR(run.kilobitsPerSecond(135, 165), 300, 60);
}

// Past the level the stream started with (level 2 holds 1.5 Mbit/s at this
// size), the encoder is not held to it: the stream gets a new description.
TEST(VideoRateChangeLevel, ARaisePastTheStreamsLevelGetsANewLevel) {
    auto levelOf = [](const SampleBufferRef& sample) {
        for (const auto& unit : VideoDecoderConfiguration::parameterSets(*sample->formatDescription())) {
            if (((unit[0] >> 1) & 0x3F) == 33) return int(VideoDecoderConfiguration::readHEVCSequenceInfo(unit)->levelIdc / 3);
        }
        return 0;
    };
    const auto run = encode(settingsFor(Format::hevc, VideoCodecSettings::BitRateMode::average(), std::nullopt, 200'000),
                            150, [](int i, VideoCodec& codec) {
                                if (i == 30) setBitRate(codec, 600'000);   // fits level 2: same description
                                if (i == 61) setBitRate(codec, 4'000'000);
                            });
    EXPECT_EQ(run.samples[40]->formatDescription(), run.samples.front()->formatDescription());
    EXPECT_EQ(levelOf(run.samples.front()), 20);
    EXPECT_GE(levelOf(run.samples.back()), 30);
    EXPECT_NEAR(run.kilobitsPerSecond(91, 151), 4000, 800);
}

// An encoder that cannot restart ends its session; the codec reports the
// refused change and makes a new session at the next picture.
TEST(VideoRateChangeFailure, AnEncoderThatCannotRestartIsReplaced) {
    auto opened = std::make_shared<int>(0);
    VTCompressionSession::Configuration configuration;
    configuration.width = 64;
    configuration.height = 64;
    configuration.makeEncoder = [opened](const VideoEncoderConfiguration& c, OSStatus& status) {
        if ((*opened)++ > 0) {
            status = VTStatus::allocationFailed;
            return std::unique_ptr<VideoEncoder>();
        }
        return VideoEncoder::make(c, status);
    };
    auto failing = VTCompressionSession::make(configuration);
    ASSERT_EQ(failing->setOption({VTSessionOptionKey::averageBitRate(), std::int64_t{400'000}}), VTStatus::noErr);
    ASSERT_EQ(failing->prepareToEncodeFrames(), VTStatus::noErr);
    // The session's rate control is average: another mode's key cannot apply.
    EXPECT_EQ(failing->setOption({VTSessionOptionKey::constantBitRate(), std::int64_t{400'000}}), VTStatus::propertyReadOnly);

    auto settings = VideoCodecSettings::defaultValue();
    settings.videoSize = {64, 64};
    settings.bitRate = 400'000;
    VideoCodec codec;
    codec.setSettings(settings);
    auto stream = codec.outputStream();
    codec.startRunning();
    auto append = [&](int i) {
        codec.append(makeFrame(makePicture(64, 64, i), frameTime(i)));
        codec.completeFrames();
    };
    append(1);  // the codec learns the input format
    codec.setSession(failing);
    append(2);
    settings.bitRate = 100'000;
    EXPECT_EQ(codec.setSettings(settings), VTStatus::noErr);  // taken; the restart comes with the next picture
    append(3);
    EXPECT_TRUE(failing->failed());
    settings.bitRate = 90'000;
    EXPECT_EQ(codec.setSettings(settings), VTStatus::invalidSession);
    append(4);
    EXPECT_NE(codec.session(), failing);
    append(5);
    codec.stopRunning();
    std::vector<MediaTime> times;
    for (const auto& s : drain(stream)) times.push_back(s->presentationTime());
    EXPECT_EQ(times, (std::vector<MediaTime>{frameTime(1), frameTime(2), frameTime(4), frameTime(5)}));
}
