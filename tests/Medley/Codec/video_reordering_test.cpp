// Encoders with and without frame reordering (B-frames; the application
// encodes without): every picture comes out once with consistent decode and
// presentation times, and a decoder gives the pictures back in presentation
// order, close to what went in.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>

#include "Medley/Sources/Codec/VTDecompressionSession.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Codec/video_test_support.h"

using namespace medley;
using namespace videotest;

namespace {

constexpr int kFrames = 40;

class VideoReorderingTest : public ::testing::TestWithParam<std::tuple<VideoCodecSettings::Format, bool>> {};

}  // namespace

TEST_P(VideoReorderingTest, TimesAndFlagsStayConsistentThroughADecoder) {
    const bool hevc = std::get<0>(GetParam()) == VideoCodecSettings::Format::hevc;
    const bool reorder = std::get<1>(GetParam());
    VideoCodecSettings settings;
    settings.videoSize = {320, 240};
    settings.bitRate = 1'000'000;
    settings.setProfileLevel(hevc ? VTProfileLevel::hevcMainAutoLevel : VTProfileLevel::h264HighAutoLevel);
    settings.allowFrameReordering = reorder;
    settings.expectedFrameRate = 30;

    VideoCodec codec;
    codec.setSettings(settings);
    auto stream = codec.outputStream();
    codec.startRunning();
    std::map<std::int64_t, PixelBufferRef> pictures;  // by pts value at 1/30 s
    for (int i = 1; i <= kFrames; ++i) {
        auto picture = makePicture(320, 240, i);
        pictures[i] = picture;
        codec.append(makeFrame(picture, frameTime(i)));
        codec.completeFrames();
    }
    EXPECT_EQ(codec.droppedFrameCount(), 0u);
    codec.stopRunning();
    const auto samples = drain(stream);
    ASSERT_EQ(samples.size(), std::size_t(kFrames));

    std::set<MediaTime> presented;
    bool reordered = false;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto& s = *samples[i];
        ASSERT_TRUE(s.decodeTime().isNumeric()) << i;
        EXPECT_LE(s.decodeTime(), s.presentationTime()) << i;
        if (!reorder) EXPECT_EQ(s.decodeTime(), s.presentationTime()) << i;
        if (i > 0) EXPECT_LT(samples[i - 1]->decodeTime(), s.decodeTime()) << i;
        reordered |= i > 0 && s.presentationTime() < samples[i - 1]->presentationTime();
        presented.insert(s.presentationTime());
        // Key frames stand alone; every other frame needs the ones before it.
        EXPECT_EQ(s.isSync(), i == 0) << i;
        EXPECT_EQ(s.attachments().dependsOnOthers, std::optional<bool>(!s.isSync())) << i;
    }
    EXPECT_EQ(reordered, reorder) << "frames came out of presentation order: " << reordered;
    EXPECT_EQ(presented.size(), std::size_t(kFrames));

    auto session = VTDecompressionSession::make(samples.front()->formatDescription());
    auto [decodedStream, writer] = platform::AsyncStream<SampleBufferRef>::make();
    for (const auto& s : samples) session->convert(s, writer);
    session->invalidate();
    writer.finish();
    const auto decoded = drain(decodedStream);
    ASSERT_EQ(decoded.size(), std::size_t(kFrames));
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        const auto pts = decoded[i]->presentationTime();
        EXPECT_EQ(pts, frameTime(int(i) + 1)) << "decoded out of presentation order at " << i;
        // The decoder hands back the frame's own timing, without a decode time.
        EXPECT_EQ(decoded[i]->duration(), MediaTime(1, 30));
        EXPECT_FALSE(decoded[i]->decodeTime().isValid());
        const auto picture = pictures.find(pts.convertScale(30).value);
        ASSERT_NE(picture, pictures.end());
        ASSERT_TRUE(decoded[i]->imageBuffer());
        EXPECT_EQ(decoded[i]->imageBuffer()->format(), platform::PixelFormat::nv12VideoRange);
        EXPECT_GT(lumaPSNR(*decoded[i]->imageBuffer(), *picture->second), 30.0) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoReorderingTest,
                         ::testing::Combine(::testing::Values(VideoCodecSettings::Format::h264,
                                                              VideoCodecSettings::Format::hevc),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == VideoCodecSettings::Format::hevc ? "HEVC" : "H264") +
                                    (std::get<1>(info.param) ? "Reordering" : "InOrder");
                         });
