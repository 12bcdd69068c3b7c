#include <gtest/gtest.h>

#include "Medley/Sources/ISO/NALUnit.h"
#include "Medley/Sources/ISO/NALUnitReader.h"

using namespace medley;

TEST(H264NALUnitTest, HeaderFieldsAndRoundTrip) {
    const Data idr{0x65, 0x88, 0x84};
    auto unit = H264NALUnit::make(idr);
    ASSERT_TRUE(unit);
    EXPECT_EQ(std::make_tuple(unit->refIdc, unit->type, unit->payload, unit->data()),
              std::make_tuple(3, H264NALUnitType::idr, Data{0x88, 0x84}, idr));

    EXPECT_EQ(H264NALUnit::make(Data{0x6E})->type, H264NALUnitType::unspec);

    EXPECT_FALSE(H264NALUnit::make(Data{}));
}

TEST(HEVCNALUnitTest, HeaderFieldsAndRoundTrip) {
    auto vps = HEVCNALUnit::make(Data{0x40, 0x01, 0x0C});
    ASSERT_TRUE(vps);
    EXPECT_EQ(std::make_tuple(vps->type, vps->temporalIdPlusOne, vps->data()),
              std::make_tuple(HEVCNALUnitType::vps, 1, Data{0x40, 0x01, 0x0C}));

    auto reserved = HEVCNALUnit::make(Data{0x14, 0x01});
    ASSERT_TRUE(reserved);
    EXPECT_EQ(reserved->type, HEVCNALUnitType::unspec);
    // unspec writes its raw value shifted into eight bits.
    EXPECT_EQ(reserved->data(), (Data{0xFE, 0x01}));

    EXPECT_EQ(HEVCNALUnit::make(Data{0x40, 0xFF})->temporalIdPlusOne, 0x1F);
    EXPECT_FALSE(HEVCNALUnit::make(Data{0x40}));
}

TEST(NALUnitReaderTest, EdgeInputs) {
    NALUnitReader reader;
    EXPECT_TRUE(reader.read<H264NALUnit>(Data{0x00, 0x01}).empty());
    EXPECT_TRUE(reader.read<H264NALUnit>(Data{0x65}).empty());
    // Leading garbage makes no unit; adjacent start codes make no empty unit.
    const Data stream{0xAB, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x40, 0x01, 0x00, 0x00, 0x00, 0x01, 0x42, 0x01, 0x77};
    const auto units = reader.read<HEVCNALUnit>(stream);
    ASSERT_EQ(units.size(), 2u);  // last unit first
    EXPECT_EQ(units[0].type, HEVCNALUnitType::sps);
    EXPECT_EQ(units[0].payload, Data{0x77});
    EXPECT_EQ(units[1].type, HEVCNALUnitType::vps);
    EXPECT_TRUE(units[1].payload.empty());
    const auto h264 = reader.read<H264NALUnit>(Data{0x00, 0x00, 0x00, 0x01, 0x67, 0xAA, 0x00, 0x00, 0x01, 0x68, 0xBB});
    ASSERT_EQ(h264.size(), 2u);
    EXPECT_EQ(h264[0].type, H264NALUnitType::pps);
    EXPECT_EQ(h264[1].type, H264NALUnitType::sps);
    // A start code at the very end gives an empty unit: no unit at all.
    EXPECT_EQ(reader.read<H264NALUnit>(Data{0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x01}).size(), 1u);
}
