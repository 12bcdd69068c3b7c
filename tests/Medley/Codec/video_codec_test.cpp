// The codec's frame gate, session life cycle and live setting changes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Medley/Sources/Codec/VTCompressionSession.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Codec/video_test_support.h"

using namespace medley;
using namespace videotest;

namespace {

class FixedClock : public platform::Clock {
public:
    platform::Nanos now() const override { return nanos; }
    platform::Nanos nanos = 0;
};

VideoCodecSettings small() {
    VideoCodecSettings s;
    s.videoSize = {64, 64};
    s.bitRate = 100'000;
    return s;
}

struct Fixture {
    explicit Fixture(VideoCodecSettings settings = small()) {
        codec.setSettings(settings);
        stream = codec.outputStream();
        codec.startRunning();
    }
    void append(MediaTime pts, int w = 64, int h = 64) {
        codec.append(makeFrame(makePicture(w, h, int(pts.value)), pts));
        codec.completeFrames();
    }
    std::vector<MediaTime> encodedTimes() {
        codec.stopRunning();
        std::vector<MediaTime> times;
        for (const auto& s : drain(stream)) times.push_back(s->presentationTime());
        return times;
    }
    VideoCodec codec;
    platform::AsyncStream<SampleBufferRef> stream;
};

}  // namespace

TEST(VideoCodecGate, TakesTheFirstPictureAtTimeZeroAndDropsRepeatsAndFramesWhileStoppedOrWithoutAReader) {
    VideoCodec unread;
    unread.setSettings(small());
    unread.append(makeFrame(makePicture(64, 64, 0), MediaTime(1, 30)));
    EXPECT_FALSE(unread.session());
    unread.startRunning();
    unread.append(makeFrame(makePicture(64, 64, 0), MediaTime(1, 30)));
    EXPECT_EQ(unread.presentationTimeStamp, MediaTime::zero());

    Fixture f;
    f.append(MediaTime::zero());
    f.append(MediaTime::zero());
    f.append(MediaTime(1, 30));
    f.append(MediaTime(1, 30));
    f.append(MediaTime(2, 30));
    EXPECT_EQ(f.codec.presentationTimeStamp, MediaTime(2, 30));
    EXPECT_EQ(f.encodedTimes(), (std::vector<MediaTime>{MediaTime::zero(), MediaTime(1, 30), MediaTime(2, 30)}));
}

TEST(VideoCodecGate, FrameIntervalThinsThirtyToTen) {
    auto settings = small();
    settings.frameInterval = VideoCodecSettings::frameIntervalFor10;
    Fixture f(settings);
    for (int i = 0; i <= 9; ++i) f.append(MediaTime(i, 30));
    EXPECT_DOUBLE_EQ(f.codec.frameInterval, 0.099);  // taken from the settings when the session was made
    EXPECT_EQ(f.encodedTimes(),
              (std::vector<MediaTime>{MediaTime::zero(), MediaTime(3, 30), MediaTime(6, 30), MediaTime(9, 30)}));
}

TEST(VideoCodecGate, WithoutPassthroughOnlyFramesFromStartAreTaken) {
    auto clock = std::make_shared<FixedClock>();
    clock->nanos = 5'000'000'000;
    VideoCodec codec(clock);
    codec.passthrough = false;
    codec.setSettings(small());
    auto stream = codec.outputStream();
    codec.startRunning();
    for (platform::Nanos t : {4'900'000'000LL, 5'000'000'000LL, 5'033'000'000LL}) {
        codec.append(makeFrame(makePicture(64, 64, 0), MediaTime::fromNanos(t)));
        codec.completeFrames();
    }
    codec.stopRunning();
    std::vector<MediaTime> times;
    for (const auto& s : drain(stream)) times.push_back(s->presentationTime());
    EXPECT_EQ(times, (std::vector<MediaTime>{MediaTime::fromNanos(5'000'000'000), MediaTime::fromNanos(5'033'000'000)}));
}

TEST(VideoCodecSessions, LiveChangesKeepOrRebuildTheSessionAndARestartStartsFresh) {
    auto settings = small();
    settings.expectedFrameRate = 30;
    Fixture f(settings);
    f.append(MediaTime(1, 30));
    const auto first = f.codec.session();
    auto* compression = dynamic_cast<VTCompressionSession*>(first.get());
    ASSERT_TRUE(compression);

    // Bit rate and expected frame rate are properties of the running session.
    settings.bitRate = 50'000;
    settings.expectedFrameRate.reset();
    EXPECT_EQ(f.codec.setSettings(settings), VTStatus::noErr);
    f.append(MediaTime(2, 30));
    EXPECT_EQ(f.codec.session(), first);

    // Session fields rebuild at the next frame.
    settings.videoSize = {96, 64};
    f.codec.setSettings(settings);
    f.append(MediaTime(3, 30));
    const auto second = f.codec.session();
    EXPECT_NE(second, first);
    EXPECT_EQ(dynamic_cast<VTCompressionSession*>(second.get())->width(), 96);
    settings.bitRateMode = VideoCodecSettings::BitRateMode::constant();
    f.codec.setSettings(settings);
    f.append(MediaTime(4, 30));
    const auto third = f.codec.session();
    EXPECT_NE(third, second);

    // A new picture layout is a new input format: rebuild at that frame.
    auto bgra = PixelBuffer::make(96, 64, platform::PixelFormat::bgra);
    bgra->fillBlack();
    f.codec.append(makeFrame(bgra, MediaTime(5, 30)));
    f.codec.completeFrames();
    EXPECT_NE(f.codec.session(), third);
    EXPECT_EQ(f.encodedTimes().size(), 5u);

    f.stream = f.codec.outputStream();
    f.codec.startRunning();
    f.append(MediaTime(1, 30), 96, 64);
    f.codec.stopRunning();
    const auto out = drain(f.stream);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out.front()->isSync());
}

TEST(VideoCodecSessions, FailingSessionYieldsNothing) {
    auto settings = small();
    settings.setProfileLevel("H264_Extended_AutoLevel");
    Fixture f(settings);
    for (int i = 1; i <= 3; ++i) f.append(MediaTime(i, 30));
    EXPECT_FALSE(f.codec.session());
    EXPECT_TRUE(f.codec.invalidateSession);
    EXPECT_TRUE(f.encodedTimes().empty());
}

// A size with no whole number of pixels in 32 bits, or a side of less than one
// pixel, is refused as a bad setting before anything converts it, and is not
// taken for a GPU encoder that failed: the codec stays HEVC and a usable size
// encodes at once.
TEST(VideoCodecSessions, ASizeNoEncoderCanTakeIsABadSetting) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    using Size = VideoCodecSettings::Size;
    for (const Size size : {Size{nan, 64}, Size{64, inf}, Size{-inf, 64}, Size{1e10, 64}, Size{64, -3e9}, Size{0, 64},
                            Size{64, 0}, Size{-2, 64}, Size{64, -1}, Size{0.5, 64}, Size{0, 0}}) {
        SCOPED_TRACE(testing::Message() << size.width << "x" << size.height);
        auto settings = small();
        settings.setProfileLevel("HEVC_Main_AutoLevel");
        settings.isHardwareEncoderRequired = true;
        settings.videoSize = size;
        Fixture f(settings);
        try {
            f.codec.makeSession(VTSessionMode::compression);
            ADD_FAILURE() << "a session was made";
        } catch (const VTSessionError& error) {
            EXPECT_EQ(error.kind(), VTSessionError::Kind::failedToCreate);
            EXPECT_EQ(error.status(), VTStatus::parameter);
        }
        f.append(MediaTime(1, 30));
        EXPECT_FALSE(f.codec.session());
        EXPECT_EQ(f.codec.settings().format(), VideoCodecSettings::Format::hevc);
        EXPECT_TRUE(f.codec.settings().isHardwareEncoderRequired);
    }
    auto settings = small();
    settings.videoSize = {std::nan(""), 64};
    Fixture f(settings);
    f.append(MediaTime(1, 30));
    settings.videoSize = {64, 64};
    f.codec.setSettings(settings);
    f.append(MediaTime(2, 30));
    EXPECT_EQ(f.encodedTimes(), (std::vector<MediaTime>{MediaTime(2, 30)}));
}

TEST(VideoCodecSessions, CompressedInputIsDecodedWithoutTheGate) {
    Fixture encoder;
    for (int i = 1; i <= 5; ++i) encoder.append(MediaTime(i, 30));
    encoder.codec.stopRunning();
    const auto encoded = drain(encoder.stream);
    ASSERT_EQ(encoded.size(), 5u);

    auto clock = std::make_shared<FixedClock>();
    clock->nanos = 1'000'000'000'000;  // far after every frame
    VideoCodec decoder(clock);
    decoder.passthrough = false;
    auto stream = decoder.outputStream();
    decoder.startRunning();
    decoder.frameInterval = 10;
    for (const auto& s : encoded) decoder.append(s);
    decoder.stopRunning();
    const auto decoded = drain(stream);
    ASSERT_EQ(decoded.size(), 5u);
    EXPECT_TRUE(decoded.front()->imageBuffer());
    EXPECT_EQ(decoded.back()->presentationTime(), MediaTime(5, 30));
}
