#include <gtest/gtest.h>

#include "Medley/Sources/Extension/DataExtensions.h"
#include "Medley/Sources/Extension/PixelBufferExtensions.h"

using namespace medley;

TEST(DataBlockBuffer, CopiesTheTailAndOutlivesTheDataOrGivesNone) {
    std::optional<platform::BlockBuffer> block;
    {
        Data message{0x17, 0x01, 0x00, 0x00, 0x00, 0xAA, 0xBB};
        block = makeBlockBuffer(message, 5);
    }
    ASSERT_TRUE(block);
    EXPECT_EQ(block->toVector(), (Data{0xAA, 0xBB}));
    const Data header{1, 2, 3, 4, 5};
    EXPECT_FALSE(makeBlockBuffer(header, 5));
    EXPECT_FALSE(makeBlockBuffer(header, 8));
    EXPECT_FALSE(makeBlockBuffer(Data{}, 0));
    EXPECT_EQ(makeBlockBuffer(header, 0)->size(), 5u);
}

TEST(PixelBufferAccessors, RefuseOutOfRangePlanes) {
    auto nv12 = platform::PixelBuffer::make(64, 48, platform::PixelFormat::nv12VideoRange);
    EXPECT_EQ(heightOfPlane(*nv12, 1), 24);
    EXPECT_EQ(baseAddressOfPlane(*nv12, 2), nullptr);
    EXPECT_EQ(heightOfPlane(*nv12, -1), 0);
}
