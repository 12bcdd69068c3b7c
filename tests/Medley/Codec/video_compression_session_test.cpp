#include <gtest/gtest.h>

#include "Medley/Sources/Codec/VTCompressionSession.h"
#include "Medley/Codec/video_test_support.h"

using namespace medley;
using namespace videotest;

namespace {
std::shared_ptr<VTCompressionSession> prepared(std::int32_t width = 64, std::int32_t height = 64) {
    VTCompressionSession::Configuration configuration;
    configuration.width = width;
    configuration.height = height;
    auto session = VTCompressionSession::make(configuration);
    EXPECT_EQ(session->prepareToEncodeFrames(), VTStatus::noErr);
    return session;
}
}  // namespace

TEST(VideoCompressionSession, ScalesAnyPictureToItsEvenSizeIgnoresDataAndEncodesWithoutAReader) {
    auto session = prepared(101, 75);  // an odd size is encoded at the even size below it
    EXPECT_EQ(session->width(), 100);
    EXPECT_EQ(session->formatDescription()->dimensions().height, 74);
    auto [stream, writer] = platform::AsyncStream<SampleBufferRef>::make();
    platform::SampleTiming timing;
    timing.presentationTime = MediaTime(1, 30);
    auto data = platform::SampleBuffer::makeData(platform::BlockBuffer::copy(Data{1, 2, 3}), session->formatDescription(), timing);
    EXPECT_NO_THROW(session->convert(data, writer));
    session->convert(makeFrame(makePicture(320, 240, 1), MediaTime(2, 30)), std::nullopt);
    auto bgra = PixelBuffer::make(50, 50, platform::PixelFormat::bgra);
    bgra->fillBlack();
    session->convert(makeFrame(bgra, MediaTime(3, 30)), writer);
    session->convert(makeFrame(makePicture(64, 64, 2), MediaTime(4, 30)), writer);
    session->invalidate();
    writer.finish();
    const auto out = drain(stream);
    ASSERT_EQ(out.size(), 2u);  // only the frames with a reader came back
    EXPECT_EQ(out.front()->presentationTime(), MediaTime(3, 30));
    EXPECT_FALSE(out.front()->isSync());  // the first encoded frame was the key frame
}

TEST(VideoCompressionSession, RefusesWorkAfterInvalidationAndBadOptions) {
    auto session = prepared();
    EXPECT_EQ(session->setOption({VTSessionOptionKey::profileLevel(), std::string("H264_Main_AutoLevel")}),
              VTStatus::propertyReadOnly);
    EXPECT_EQ(session->setOption({VTSessionOptionKey::averageBitRate(), std::string("fast")}), VTStatus::parameter);
    session->invalidate();
    EXPECT_THROW(session->convert(makeFrame(makePicture(64, 64, 0), MediaTime(1, 30)), std::nullopt), VTSessionError);
    EXPECT_EQ(session->setOption({VTSessionOptionKey::averageBitRate(), std::int64_t{1}}), VTStatus::invalidSession);

    VTCompressionSession::Configuration configuration;
    configuration.codecType = platform::fourCC("vp09");
    EXPECT_THROW(VTCompressionSession::make(configuration), VTSessionError);
}
