#include <gtest/gtest.h>

#include "Medley/Sources/Extension/NumericData.h"

using medley::Data;
using medley::Numeric;
using medley::bigEndian;

TEST(NumericData, ShortInputIsPaddedInFrontSoBigEndianReadsTheNumber) {
    EXPECT_EQ(bigEndian(Numeric<std::uint16_t>::init(Data{0x12, 0x34})), 0x1234);
    EXPECT_EQ(bigEndian(Numeric<std::uint32_t>::init(Data{0x01, 0x02, 0x03})), 66051u);
    EXPECT_EQ(bigEndian(Numeric<std::uint64_t>::init(Data{0xAB})), 0xABu);
    EXPECT_EQ(Numeric<std::uint32_t>::init(Data{}), 0u);
    EXPECT_EQ(Numeric<std::int32_t>::init(Data{}), 0);
}

TEST(NumericData, LongInputUsesOnlyTheLeadingBytes) {
    const Data bytes{0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF};
    EXPECT_EQ(bigEndian(Numeric<std::uint32_t>::init(bytes)), 0x01020304u);
    EXPECT_EQ(Numeric<std::uint8_t>::init(bytes), 0x01);
    // A slice converts exactly like a copy of it.
    EXPECT_EQ(bigEndian(Numeric<std::uint16_t>::init(std::span(bytes).subspan(2, 2))), 0x0304);
}

TEST(NumericData, DataIsTheValuesHostBytes) {
    EXPECT_EQ(medley::data(std::uint32_t{0x01020304}), (Data{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(medley::data(bigEndian(std::uint32_t{0x01020304})), (Data{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(medley::data(std::int32_t{-2}), (Data{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(medley::data(std::uint8_t{7}).size(), 1u);
    EXPECT_EQ(medley::data(std::uint64_t{1}).size(), 8u);
}

TEST(NumericData, RoundTripsEveryWidthIncludingSigned) {
    EXPECT_EQ(Numeric<std::int32_t>::init(medley::data(std::int32_t{-123456})), -123456);
    EXPECT_EQ(Numeric<std::uint64_t>::init(medley::data(std::uint64_t{0x0102030405060708})),
              0x0102030405060708u);
    EXPECT_EQ(bigEndian(bigEndian(std::uint16_t{0xBEEF})), 0xBEEF);
    EXPECT_EQ(bigEndian(std::int16_t{-2}), std::int16_t(0xFEFF));
}
