// Encodes synthetic pictures with the real encoders and checks what a
// decoder, a muxer and a peer rely on.
#include <gtest/gtest.h>

#include <future>

#include "Medley/Sources/Codec/VTCompressionSession.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"
#include "Medley/Codec/video_test_support.h"

using namespace medley;
using namespace videotest;

namespace {

VideoCodecSettings settingsFor(VideoCodecSettings::Format format, int width, int height, int bitRate) {
    VideoCodecSettings s;
    s.videoSize = {double(width), double(height)};
    s.bitRate = bitRate;
    s.setProfileLevel(format == VideoCodecSettings::Format::hevc ? VTProfileLevel::hevcMainAutoLevel
                                                                 : VTProfileLevel::h264HighAutoLevel);
    s.allowFrameReordering = false;
    s.expectedFrameRate = 30;
    return s;
}

struct Encoding {
    std::vector<SampleBufferRef> samples;
};

// Frames i = 1...count at i/30 s (time zero is before the codec's gate).
Encoding encode(const VideoCodecSettings& settings, int count) {
    VideoCodec codec;
    codec.setSettings(settings);
    auto stream = codec.outputStream();
    codec.startRunning();
    Encoding e;
    for (int i = 1; i <= count; ++i) {
        codec.append(makeFrame(makePicture(int(settings.videoSize.width), int(settings.videoSize.height), i),
                               frameTime(i)));
        codec.completeFrames();
    }
    EXPECT_EQ(codec.droppedFrameCount(), 0u);
    codec.stopRunning();
    e.samples = drain(stream);
    return e;
}

// The units of one sample, checked to be a whole number of 4-byte length-prefixed units.
std::vector<Data> units(const platform::SampleBuffer& sample) {
    std::vector<Data> out;
    const auto& b = *sample.dataBuffer();
    for (std::size_t at = 0; at < b.size();) {
        const std::uint8_t* p = b.data() + at;
        const std::size_t n = b.size() - at < 4 ? 0 : (std::size_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
        if (n == 0 || n > b.size() - at - 4) {
            ADD_FAILURE() << "bad unit length at " << at;
            break;
        }
        out.emplace_back(p + 4, p + 4 + n);
        at += 4 + n;
    }
    return out;
}

class VideoRoundTrip : public ::testing::TestWithParam<VideoCodecSettings::Format> {
protected:
    bool hevc() const { return GetParam() == VideoCodecSettings::Format::hevc; }
};

}  // namespace

TEST_P(VideoRoundTrip, LengthPrefixedWithParameterSetsInTheDescriptionAndKeyFramesEveryTwoSeconds) {
    auto settings = settingsFor(GetParam(), 192, 108, 300'000);
    settings.maxKeyFrameIntervalDuration = 2;
    const auto e = encode(settings, 200);
    ASSERT_EQ(e.samples.size(), 200u);
    const auto& format = e.samples.front()->formatDescription();
    EXPECT_EQ(format->mediaSubType(), hevc() ? platform::codec::hevc : platform::codec::h264);
    EXPECT_EQ(format->dimensions().width, 192);
    const auto sets = VideoDecoderConfiguration::parameterSets(*format);
    ASSERT_EQ(sets.size(), hevc() ? 3u : 2u);
    const auto info = hevc() ? VideoDecoderConfiguration::readHEVCSequenceInfo(sets[1])
                             : VideoDecoderConfiguration::readAVCSequenceInfo(sets[0]);
    ASSERT_TRUE(info);
    EXPECT_EQ(std::make_pair(info->width, info->height), std::make_pair(192, 108));
    std::vector<int> keys;
    for (std::size_t i = 0; i < e.samples.size(); ++i) {
        const auto& s = e.samples[i];
        if (s->isSync()) keys.push_back(int(i));
        EXPECT_EQ(s->attachments().dependsOnOthers, std::optional<bool>(!s->isSync()));
        EXPECT_EQ(s->decodeTime(), s->presentationTime());  // no reordering
        for (const auto& unit : units(*s)) {
            const int type = hevc() ? (unit[0] >> 1) & 0x3F : unit[0] & 0x1F;
            // Parameter sets travel in the description, not in the frames.
            if (hevc()) EXPECT_TRUE(type < 32 || type > 34) << type;
            else EXPECT_TRUE(type != 7 && type != 8) << type;
        }
    }
    EXPECT_EQ(keys, (std::vector<int>{0, 60, 120, 180}));
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoRoundTrip,
                         ::testing::Values(VideoCodecSettings::Format::h264, VideoCodecSettings::Format::hevc),
                         [](const auto& info) { return info.param == VideoCodecSettings::Format::hevc ? "HEVC" : "H264"; });

TEST(VideoCompressionSessionBackPressure, DropsTheOldestWaitingPicturesAndCountsThem) {
    VTCompressionSession::Configuration configuration;
    configuration.width = 1280;
    configuration.height = 720;
    configuration.maxPendingFrames = 2;
    auto session = VTCompressionSession::make(configuration);
    ASSERT_EQ(session->setOption({VTSessionOptionKey::averageBitRate(), std::int64_t{2'000'000}}), VTStatus::noErr);
    ASSERT_EQ(session->prepareToEncodeFrames(), VTStatus::noErr);
    auto [stream, writer] = platform::AsyncStream<SampleBufferRef>::make();
    const int submitted = 40;
    auto picture = makePicture(1280, 720, 0);
    for (int i = 1; i <= submitted; ++i) {
        session->convert(makeFrame(picture, frameTime(i)), writer);
        EXPECT_LE(session->pendingFrameCount(), 3u);  // two waiting, one being encoded
    }
    session->completeFrames();
    session->invalidate();
    writer.finish();
    const auto out = drain(stream);
    EXPECT_GT(session->droppedFrameCount(), 0u);
    EXPECT_EQ(out.size() + session->droppedFrameCount(), std::size_t(submitted));
    // The newest picture always survives.
    EXPECT_EQ(out.back()->presentationTime(), frameTime(submitted));
}

namespace {
// Holds its first picture until let go, as an encoder that starts slowly does.
class SlowStartEncoder final : public VideoEncoder {
public:
    SlowStartEncoder(std::unique_ptr<VideoEncoder> inner, std::shared_future<void> letGo, std::promise<void>& entered)
        : inner_(std::move(inner)), letGo_(std::move(letGo)), entered_(entered) {}
    const std::vector<Data>& parameterSets() const override { return inner_->parameterSets(); }
    bool encode(const platform::PixelBuffer& picture, std::int64_t pts, bool forceKeyFrame,
                std::vector<VideoEncodedFrame>& out) override {
        if (!started_) {
            started_ = true;
            entered_.set_value();
            letGo_.wait();
        }
        return inner_->encode(picture, pts, forceKeyFrame, out);
    }
    bool flush(std::vector<VideoEncodedFrame>& out) override { return inner_->flush(out); }

private:
    std::unique_ptr<VideoEncoder> inner_;
    std::shared_future<void> letGo_;
    std::promise<void>& entered_;
    bool started_ = false;
};
}  // namespace

TEST(VideoCompressionSessionBackPressure, ABoundByTimeKeepsEveryPictureWithinItsSpanWhileTheEncoderStarts) {
    std::promise<void> entered;
    std::promise<void> letGo;
    std::shared_future<void> released = letGo.get_future().share();
    VTCompressionSession::Configuration configuration;
    configuration.width = 320;
    configuration.height = 240;
    configuration.maxPendingSpan = 0.25;
    configuration.makeEncoder = [&](const VideoEncoderConfiguration& c, OSStatus& status) -> std::unique_ptr<VideoEncoder> {
        auto inner = VideoEncoder::make(c, status);
        if (!inner) return nullptr;
        return std::make_unique<SlowStartEncoder>(std::move(inner), released, entered);
    };
    auto session = VTCompressionSession::make(configuration);
    ASSERT_EQ(session->prepareToEncodeFrames(), VTStatus::noErr);
    auto [stream, writer] = platform::AsyncStream<SampleBufferRef>::make();
    auto picture = makePicture(320, 240, 0);
    session->convert(makeFrame(picture, frameTime(1)), writer);
    entered.get_future().wait();  // the encoder holds picture 1
    for (int i = 2; i <= 20; ++i) session->convert(makeFrame(picture, frameTime(i)), writer);
    // 13/30 ... 20/30 lie within 0.25 s of the newest: eight wait, far more than a count bound's three.
    EXPECT_EQ(session->pendingFrameCount(), 9u);
    EXPECT_EQ(session->droppedFrameCount(), 11u);
    letGo.set_value();
    session->completeFrames();
    session->invalidate();
    writer.finish();
    const auto out = drain(stream);
    ASSERT_EQ(out.size(), 9u);
    EXPECT_EQ(out.front()->presentationTime(), frameTime(1));
    EXPECT_EQ(out[1]->presentationTime(), frameTime(13));
    EXPECT_EQ(out.back()->presentationTime(), frameTime(20));
}

TEST(VideoCompressionSessionBackPressure, ACountBesideTheSpanBoundsTheWaitingPicturesWhicheverIsTighter) {
    std::promise<void> entered;
    std::promise<void> letGo;
    std::shared_future<void> released = letGo.get_future().share();
    VideoCodec codec;
    codec.pendingSpan = 0.25;
    codec.setPendingLimit(3);
    codec.makeEncoder = [&](const VideoEncoderConfiguration& c, OSStatus& status) -> std::unique_ptr<VideoEncoder> {
        auto inner = VideoEncoder::make(c, status);
        if (!inner) return nullptr;
        return std::make_unique<SlowStartEncoder>(std::move(inner), released, entered);
    };
    codec.setSettings(settingsFor(VideoCodecSettings::Format::h264, 320, 240, 500'000));
    auto stream = codec.outputStream();
    codec.startRunning();
    auto picture = makePicture(320, 240, 0);
    codec.append(makeFrame(picture, frameTime(1)));
    entered.get_future().wait();  // the encoder holds picture 1
    // Eight lie within the span, but the count is tighter: 18, 19 and 20 wait.
    for (int i = 2; i <= 20; ++i) codec.append(makeFrame(picture, frameTime(i)));
    EXPECT_EQ(codec.droppedFrameCount(), 16u);
    // Lifted on the running session: the span bounds again (23/30 ... 30/30),
    // and a count looser than the span changes nothing.
    codec.setPendingLimit(std::nullopt);
    for (int i = 21; i <= 25; ++i) codec.append(makeFrame(picture, frameTime(i)));
    codec.setPendingLimit(60);
    for (int i = 26; i <= 30; ++i) codec.append(makeFrame(picture, frameTime(i)));
    EXPECT_EQ(codec.droppedFrameCount(), 16u + 5u);
    letGo.set_value();
    codec.completeFrames();
    codec.stopRunning();
    const auto out = drain(stream);
    ASSERT_EQ(out.size(), 9u);
    EXPECT_EQ(out.front()->presentationTime(), frameTime(1));
    EXPECT_EQ(out[1]->presentationTime(), frameTime(23));
    EXPECT_EQ(out.back()->presentationTime(), frameTime(30));
}
