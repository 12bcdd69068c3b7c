// Settings that require the GPU's HEVC encoder: never served by software
// HEVC; where the encoder does not start, H.264 in software with one warning,
// and later setting changes keep to it.
#include <gtest/gtest.h>

#include <filesystem>

#include "Logwell/RecordingAppender.h"
#include "Medley/Codec/video_test_support.h"
#include "Medley/Sources/Codec/VTCompressionSession.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Sources/Util/MedleyLogger.h"

using namespace medley;
using namespace videotest;

namespace {

bool hasRenderNode() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", ec))
        if (entry.path().filename().string().starts_with("renderD")) return true;
    return false;
}

VideoCodecSettings hardwareHEVC(int bitRate = 300'000) {
    VideoCodecSettings s({128, 72}, bitRate, VTProfileLevel::hevcMainAutoLevel, VideoCodecSettings::ScalingMode::trim,
                         VideoCodecSettings::BitRateMode::constant(), 2, false, std::nullopt, false, true, 30.0);
    s.isHardwareEncoderRequired = true;
    return s;
}

// Encoders made as asked, each configuration noted in `opened`, except that a
// hardware one fails to start.
auto hardwareThatFails(std::vector<VideoEncoderConfiguration>& opened) {
    return [&opened](const VideoEncoderConfiguration& c, OSStatus& status) -> std::unique_ptr<VideoEncoder> {
        opened.push_back(c);
        if (c.hardware) {
            status = VTStatus::couldNotCreateInstance;
            return nullptr;
        }
        return VideoEncoder::make(c, status);
    };
}

struct WarningCapture {
    WarningCapture() : previous(logger().appender()), level(logger().level()) {
        logger().setAppender(recorder);
        logger().setLevel(logwell::LWLogLevel::warn);
    }
    ~WarningCapture() {
        logger().setAppender(previous);
        logger().setLevel(level);
    }
    int count(const std::string& text) {
        int n = 0;
        for (const auto& r : recorder->snapshot()) n += r.message.find(text) != std::string::npos;
        return n;
    }
    std::shared_ptr<logwell::testing::RecordingAppender> recorder = std::make_shared<logwell::testing::RecordingAppender>();
    std::shared_ptr<logwell::LWLoggerAppender> previous;
    logwell::LWLogLevel level;
};

}  // namespace

TEST(VideoHardwareEncoder, WithoutAGPUAHEVCSessionThatRequiresItDoesNotOpenAndH264IsUnaffected) {
    if (hasRenderNode()) GTEST_SKIP() << "this machine has a render node";
    VTCompressionSession::Configuration configuration;
    configuration.width = 128;
    configuration.height = 72;
    configuration.codecType = platform::codec::hevc;
    configuration.requiresHardwareEncoder = true;
    auto hevc = VTCompressionSession::make(configuration);
    EXPECT_EQ(hevc->prepareToEncodeFrames(), VTStatus::couldNotFindVideoEncoder) << "no software HEVC in its place";

    configuration.codecType = platform::codec::h264;
    EXPECT_EQ(VTCompressionSession::make(configuration)->prepareToEncodeFrames(), VTStatus::noErr)
        << "the requirement is HEVC's alone";
}

TEST(VideoHardwareEncoder, AHardwareEncoderThatDoesNotStartGivesH264OnceAndNeverSoftwareHEVC) {
    WarningCapture warnings;
    std::vector<VideoEncoderConfiguration> opened;
    VideoCodec codec;
    // The probe said yes, but the device fails when the encoder opens it.
    codec.makeEncoder = hardwareThatFails(opened);
    codec.setSettings(hardwareHEVC());
    auto stream = codec.outputStream();
    codec.startRunning();
    for (int i = 1; i <= 10; ++i) {
        if (i == 5) codec.setSettings(hardwareHEVC(200'000));  // a lower rate, as the adaptive bit rate sets it
        codec.append(makeFrame(makePicture(128, 72, i), frameTime(i)));
        codec.completeFrames();
    }
    codec.stopRunning();
    const auto samples = drain(stream);

    ASSERT_GE(samples.size(), 8u);
    for (const auto& s : samples) EXPECT_EQ(s->formatDescription()->mediaSubType(), platform::codec::h264);
    ASSERT_GE(opened.size(), 2u);
    EXPECT_TRUE(opened[0].hardware);
    for (size_t i = 1; i < opened.size(); ++i) {
        EXPECT_EQ(opened[i].codec, VideoEncoderConfiguration::Codec::h264) << i;
        EXPECT_FALSE(opened[i].hardware) << i;
    }
    EXPECT_EQ(opened.back().bitRate, 200'000) << "the new rate reaches the H.264 encoder";
    EXPECT_EQ(opened.back().rateControl, VideoEncoderConfiguration::RateControl::constant);
    EXPECT_EQ(warnings.count("the hardware HEVC encoder did not start"), 1);
    EXPECT_EQ(codec.settings().format(), VideoCodecSettings::Format::h264);
}

TEST(VideoHardwareEncoder, AnOwnerWhoseRatesDifferByCodecGetsTheH264RateAndItsRateBuffer) {
    WarningCapture warnings;
    std::vector<VideoEncoderConfiguration> opened;
    VideoCodec codec;
    codec.makeEncoder = hardwareThatFails(opened);
    // A recording: average rate with its one-second limit, 300 kbit/s in HEVC or 500 in H.264.
    VideoCodecSettings settings = hardwareHEVC();
    settings.bitRateMode = VideoCodecSettings::BitRateMode::average();
    settings.dataRateLimits = std::vector<double>{0.0, 0.0};
    codec.fallbackBitRate = 500'000;
    codec.setSettings(settings);
    auto stream = codec.outputStream();
    codec.startRunning();
    for (int i = 1; i <= 4; ++i) {
        if (i == 3) codec.setSettings(settings);  // the same settings again change nothing
        codec.append(makeFrame(makePicture(128, 72, i), frameTime(i)));
        codec.completeFrames();
    }
    codec.stopRunning();
    EXPECT_GE(drain(stream).size(), 3u);

    ASSERT_EQ(opened.size(), 2u) << "one H.264 session after the failed one";
    EXPECT_EQ(opened[0].bitRate, 300'000);
    EXPECT_EQ(opened[1].codec, VideoEncoderConfiguration::Codec::h264);
    EXPECT_EQ(opened[1].bitRate, 500'000);
    EXPECT_EQ(opened[1].vbvMaxBitRate, 750'000) << "the rate limit follows the H.264 rate";
    EXPECT_EQ(codec.settings().bitRate, 500'000);
    EXPECT_EQ(codec.settings().format(), VideoCodecSettings::Format::h264);
}

TEST(VideoHardwareEncoder, TheRequirementNeedsANewSessionAndSurvivesEncoding) {
    VideoCodecSettings plain = hardwareHEVC();
    plain.isHardwareEncoderRequired = false;
    EXPECT_TRUE(plain.shouldInvalidateSession(hardwareHEVC()));
    EXPECT_EQ(VideoCodecSettings::fromJSON(hardwareHEVC().toJSON()), hardwareHEVC());
    EXPECT_FALSE(plain.toJSON().contains("isHardwareEncoderRequired")) << "absent unless set";
    EXPECT_EQ(VideoCodecSettings::fromJSON(plain.toJSON()), plain);
}
