#include <gtest/gtest.h>

#include "Medley/Sources/Extension/DataExtensions.h"
#include "Medley/Sources/Extension/PixelBufferExtensions.h"

using namespace medley;

TEST(DataBlockBuffer, CopiesTheTailAndOutlivesTheData) {
    std::optional<platform::BlockBuffer> block;
    {
        Data message{0x17, 0x01, 0x00, 0x00, 0x00, 0xAA, 0xBB};
        block = makeBlockBuffer(message, 5);
    }
    ASSERT_TRUE(block);
    EXPECT_EQ(block->toVector(), (Data{0xAA, 0xBB}));
}

TEST(DataBlockBuffer, NothingLeftGivesNone) {
    const Data header{1, 2, 3, 4, 5};
    EXPECT_FALSE(makeBlockBuffer(header, 5));
    EXPECT_FALSE(makeBlockBuffer(header, 8));
    EXPECT_FALSE(makeBlockBuffer(Data{}, 0));
    EXPECT_EQ(makeBlockBuffer(header, 0)->size(), 5u);
}

TEST(PixelBufferAccessors, DescribePlanesAndRefuseOutOfRangeIndices) {
    auto nv12 = platform::PixelBuffer::make(64, 48, platform::PixelFormat::nv12VideoRange);
    EXPECT_EQ(size(*nv12), (PixelBufferSize{64, 48}));
    EXPECT_EQ(planeCount(*nv12), 2);
    EXPECT_EQ(heightOfPlane(*nv12, 1), 24);
    EXPECT_GE(bytesPerRowOfPlane(*nv12, 1), 64u);
    EXPECT_EQ(baseAddress(*nv12), baseAddressOfPlane(*nv12, 0));
    EXPECT_EQ(baseAddressOfPlane(*nv12, 2), nullptr);
    EXPECT_EQ(heightOfPlane(*nv12, -1), 0);
    EXPECT_EQ(formatType(*nv12), 875704438u);
    EXPECT_STREQ(PixelBufferError(PixelBufferError::Kind::unsupportedFormat, 42).what(), "unsupportedFormat(42)");
}
