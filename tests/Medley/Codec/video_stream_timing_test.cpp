// What the coded stream declares about itself (frame rate, level) and how
// long the encoders hold pictures back before the first comes out.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "Medley/Sources/Codec/VTCompressionSession.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"
#include "Medley/Codec/video_test_support.h"

using namespace medley;
using namespace videotest;

namespace {

using Format = VideoCodecSettings::Format;

std::shared_ptr<VTCompressionSession> prepared(Format format, bool reorder, int width = 320, int height = 180,
                                               const char* profile = nullptr, double fps = 30) {
    VTCompressionSession::Configuration configuration;
    configuration.width = width;
    configuration.height = height;
    configuration.codecType = format == Format::hevc ? platform::codec::hevc : platform::codec::h264;
    auto session = VTCompressionSession::make(configuration);
    const char* level = profile ? profile : format == Format::hevc ? VTProfileLevel::hevcMainAutoLevel
                                                                   : VTProfileLevel::h264HighAutoLevel;
    EXPECT_EQ(session->setOption({VTSessionOptionKey::profileLevel(), std::string(level)}), VTStatus::noErr);
    EXPECT_EQ(session->setOption({VTSessionOptionKey::allowFrameReordering(), reorder}), VTStatus::noErr);
    EXPECT_EQ(session->setOption({VTSessionOptionKey::averageBitRate(), std::int64_t{500'000}}), VTStatus::noErr);
    EXPECT_EQ(session->setOption({VTSessionOptionKey::expectedFrameRate(), fps}), VTStatus::noErr);
    EXPECT_EQ(session->setOption({VTSessionOptionKey::maxKeyFrameIntervalDuration(), std::int64_t{2}}), VTStatus::noErr);
    EXPECT_EQ(session->prepareToEncodeFrames(), VTStatus::noErr);
    return session;
}

Data sequenceParameterSet(const platform::FormatDescription& format, bool hevc) {
    for (const auto& unit : VideoDecoderConfiguration::parameterSets(format)) {
        if (hevc ? ((unit[0] >> 1) & 0x3F) == 33 : (unit[0] & 0x1F) == 7) return unit;
    }
    return {};
}

std::string run(const std::string& command) {
    std::string text;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return text;
    std::array<char, 512> chunk{};
    while (std::size_t n = fread(chunk.data(), 1, chunk.size(), pipe)) text.append(chunk.data(), n);
    pclose(pipe);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

class VideoStreamTiming : public ::testing::TestWithParam<Format> {
protected:
    bool hevc() const { return GetParam() == Format::hevc; }
};

}  // namespace

// The frame rate in the stream is the configured one: players that read it
// from the stream (a raw elementary stream has nothing else) show 30 fps,
// and re-encoders keep every picture.
TEST_P(VideoStreamTiming, TheStreamDeclaresTheConfiguredFrameRate) {
    auto session = prepared(GetParam(), false);
    if (!hevc()) {
        const auto info = VideoDecoderConfiguration::readAVCSequenceInfo(
            sequenceParameterSet(*session->formatDescription(), false));
        ASSERT_TRUE(info);
        ASSERT_TRUE(info->timing);
        EXPECT_EQ(info->timing->timeScale, 2 * 30 * info->timing->numUnitsInTick);
        EXPECT_TRUE(info->timing->fixedFrameRate);
        const auto ntsc = prepared(GetParam(), false, 320, 180, nullptr, 29.97);
        const auto ntscInfo = VideoDecoderConfiguration::readAVCSequenceInfo(
            sequenceParameterSet(*ntsc->formatDescription(), false));
        ASSERT_TRUE(ntscInfo && ntscInfo->timing);
        EXPECT_EQ(ntscInfo->timing->numUnitsInTick, 100u);
        EXPECT_EQ(ntscInfo->timing->timeScale, 5994u);
    }

    // The same stream as an Annex B file, read back by ffprobe.
    if (run("ffprobe -version").empty()) GTEST_SKIP() << "no ffprobe";
    auto [stream, writer] = platform::AsyncStream<SampleBufferRef>::make();
    for (int i = 0; i < 30; ++i) {
        session->convert(makeFrame(makePicture(320, 180, i), frameTime(i)), writer);
        session->completeFrames();
    }
    session->invalidate();
    writer.finish();
    const auto path = std::filesystem::temp_directory_path() /
                      ("timing-" + std::to_string(getpid()) + (hevc() ? ".h265" : ".h264"));
    {
        std::ofstream out(path, std::ios::binary);
        auto put = [&](const Data& unit) {
            out.write("\0\0\0\1", 4);
            out.write(reinterpret_cast<const char*>(unit.data()), std::streamsize(unit.size()));
        };
        for (const auto& unit : VideoDecoderConfiguration::parameterSets(*session->formatDescription())) put(unit);
        for (const auto& sample : drain(stream)) {
            const auto& b = *sample->dataBuffer();
            for (std::size_t at = 0; at + 4 <= b.size();) {
                const std::size_t n = (std::size_t(b.data()[at]) << 24) | (b.data()[at + 1] << 16) |
                                      (b.data()[at + 2] << 8) | b.data()[at + 3];
                put(Data(b.data() + at + 4, b.data() + at + 4 + n));
                at += 4 + n;
            }
        }
    }
    const std::string rate = run(std::string("ffprobe -v error -f ") + (hevc() ? "hevc" : "h264") +
                                 " -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 " + path.string());
    std::filesystem::remove(path);
    EXPECT_EQ(rate, "30/1");
}

// Pictures in, coded frames out: every one, the first included, held back
// only by the B-frame run when reordering is allowed.
TEST_P(VideoStreamTiming, EveryPictureComesOutAndOnlyReorderingDelaysIt) {
    constexpr int kPictures = 40;
    for (const bool reorder : {false, true}) {
        SCOPED_TRACE(reorder ? "reordering" : "no reordering");
        auto session = prepared(GetParam(), reorder);
        auto [stream, writer] = platform::AsyncStream<SampleBufferRef>::make();
        int delay = 0;
        for (int i = 0; i < kPictures; ++i) {
            session->convert(makeFrame(makePicture(320, 180, i), frameTime(i)), writer);
            session->completeFrames();
            delay = std::max(delay, i + 1 - int(stream.bufferedCount()));
        }
        session->invalidate();
        writer.finish();
        const auto out = drain(stream);
        ASSERT_EQ(out.size(), std::size_t(kPictures));
        std::set<MediaTime> times;
        for (const auto& s : out) times.insert(s->presentationTime());
        EXPECT_EQ(times.size(), std::size_t(kPictures));
        EXPECT_EQ(*times.begin(), frameTime(0));
        EXPECT_TRUE(out.front()->isSync());
        // With reordering the encoders wait for the B-frame run (two
        // pictures); x265 adds its look-ahead and pipeline.
        if (reorder) EXPECT_LE(delay, hevc() ? 8 : 2);
        else EXPECT_EQ(delay, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoStreamTiming, ::testing::Values(Format::h264, Format::hevc),
                         [](const auto& info) { return info.param == Format::hevc ? "HEVC" : "H264"; });

// The default profile's level 3.1 cannot hold 1080p at 30 fps: the stream
// declares level 4, the lowest that can. A level that fits stays.
TEST(VideoStreamLevel, ALevelTooLowForThePictureIsRaisedToTheLowestThatFits) {
    auto levelOf = [](const VTCompressionSession& session) {
        const auto info = VideoDecoderConfiguration::readAVCSequenceInfo(
            sequenceParameterSet(*session.formatDescription(), false));
        return info ? int(info->levelIdc) : -1;
    };
    EXPECT_EQ(levelOf(*prepared(Format::h264, false, 1920, 1080, VTProfileLevel::h264Baseline31)), 40);
    EXPECT_EQ(levelOf(*prepared(Format::h264, false, 1280, 720, VTProfileLevel::h264Baseline31)), 31);
    EXPECT_EQ(levelOf(*prepared(Format::h264, false, 320, 180, VTProfileLevel::h264Main41)), 41);

    // Nothing holds a picture this large at this rate.
    VTCompressionSession::Configuration configuration;
    configuration.width = 16384;
    configuration.height = 16384;
    auto session = VTCompressionSession::make(configuration);
    session->setOption({VTSessionOptionKey::profileLevel(), std::string(VTProfileLevel::h264Baseline31)});
    session->setOption({VTSessionOptionKey::expectedFrameRate(), 60.0});
    EXPECT_EQ(session->prepareToEncodeFrames(), VTStatus::parameter);
}
