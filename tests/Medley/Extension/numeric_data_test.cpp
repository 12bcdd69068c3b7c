#include <gtest/gtest.h>

#include "Medley/Sources/Extension/NumericData.h"

using medley::Data;
using medley::Numeric;
using medley::bigEndian;

TEST(NumericData, ReadsBigEndianNumbersFromShortOrLongInputAndWritesHostBytes) {
    // Short input is padded in front; long input uses only the leading bytes.
    EXPECT_EQ(bigEndian(Numeric<std::uint32_t>::init(Data{0x01, 0x02, 0x03})), 66051u);
    EXPECT_EQ(Numeric<std::int32_t>::init(Data{}), 0);
    const Data bytes{0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF};
    EXPECT_EQ(bigEndian(Numeric<std::uint32_t>::init(bytes)), 0x01020304u);
    EXPECT_EQ(bigEndian(Numeric<std::uint16_t>::init(std::span(bytes).subspan(2, 2))), 0x0304);

    EXPECT_EQ(medley::data(std::uint32_t{0x01020304}), (Data{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(medley::data(bigEndian(std::uint32_t{0x01020304})), (Data{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(Numeric<std::int32_t>::init(medley::data(std::int32_t{-123456})), -123456);
    EXPECT_EQ(bigEndian(std::int16_t{-2}), std::int16_t(0xFEFF));
}
