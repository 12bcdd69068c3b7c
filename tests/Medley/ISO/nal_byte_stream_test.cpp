#include <gtest/gtest.h>

#include "Medley/Sources/ISO/ISOTypeBufferUtil.h"
#include "Medley/Sources/ISO/NALByteStream.h"

using namespace medley;

TEST(ToByteStream, ReplacesEveryLengthWithAFourByteStartCodeUpToAMalformedTail) {
    ISOTypeBufferUtil util{Data{0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x00, 0x00, 0x00, 0x01, 0xCC}};
    EXPECT_EQ(util.toByteStream(), (Data{0x00, 0x00, 0x00, 0x01, 0xAA, 0xBB, 0x00, 0x00, 0x00, 0x01, 0xCC}));
    // A malformed tail ends the output with what was converted.
    // Second length claims 5 bytes, only 1 remains.
    ISOTypeBufferUtil cut{Data{0x00, 0x00, 0x00, 0x01, 0xAA, 0x00, 0x00, 0x00, 0x05, 0xCC}};
    EXPECT_EQ(cut.toByteStream(), (Data{0x00, 0x00, 0x00, 0x01, 0xAA}));
    // Three bytes cannot hold a length.
    ISOTypeBufferUtil shortLength{Data{0x00, 0x00, 0x00, 0x01, 0xAA, 0x00, 0x00}};
    EXPECT_EQ(shortLength.toByteStream(), (Data{0x00, 0x00, 0x00, 0x01, 0xAA}));
    // A length near 4 GiB must not wrap around the bounds check.
    ISOTypeBufferUtil huge{Data{0xFF, 0xFF, 0xFF, 0xFF, 0xAA}};
    EXPECT_TRUE(huge.toByteStream().empty());
}

TEST(ToLengthPrefixed, ThreeAndFourByteStartCodesBothBecomeFourByteLengths) {
    ISOTypeBufferUtil util{Data{0x00, 0x00, 0x00, 0x01, 0xAA, 0xBB, 0x00, 0x00, 0x01, 0xCC}};
    util.toLengthPrefixed();
    EXPECT_EQ(util.data, (Data{0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x00, 0x00, 0x00, 0x01, 0xCC}));

    ISOTypeBufferUtil threeOnly{Data{0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x21}};
    threeOnly.toLengthPrefixed();
    EXPECT_EQ(threeOnly.data, (Data{0, 0, 0, 2, 0x09, 0xF0, 0, 0, 0, 4, 0x65, 0x88, 0x84, 0x21}));
}

TEST(ToLengthPrefixed, RoundTripsThroughTheByteStream) {
    Data units;
    for (std::uint32_t size : {1u, 300u, 70000u}) {
        appendLengthPrefixedNALUnit(units, Data(size, 0x5A));
    }
    ISOTypeBufferUtil util{units};
    util.data = util.toByteStream();
    util.toLengthPrefixed();
    EXPECT_EQ(util.data, units);
}

TEST(ToLengthPrefixed, PaddingEmptyUnitsAndLeadingBytes) {
    // Leading zero bytes and trailing zero bytes before a start code are
    // stream padding; adjacent start codes hold no unit.
    ISOTypeBufferUtil padded{Data{0x00, 0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x00, 0x00, 0x00, 0x01,
                                  0x00, 0x00, 0x01, 0x68, 0xCE}};
    padded.toLengthPrefixed();
    EXPECT_EQ(padded.data, (Data{0, 0, 0, 2, 0x67, 0x42, 0, 0, 0, 2, 0x68, 0xCE}));

}

TEST(SplitNALByteStream, ReportsStartCodeLengthsAndOffsets) {
    const Data stream{0x00, 0x00, 0x00, 0x01, 0x67, 0x00, 0x00, 0x01, 0x68, 0x00, 0x00, 0x00, 0x01, 0x65, 0x01};
    const auto units = splitNALByteStream(stream);
    std::vector<std::pair<std::size_t, std::size_t>> starts;  // offset, length
    for (const auto& u : units) starts.emplace_back(u.startCodeOffset, u.startCodeLength);
    ASSERT_EQ(starts, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 4}, {5, 3}, {9, 4}}));
    EXPECT_EQ(Data(units[2].bytes.begin(), units[2].bytes.end()), (Data{0x65, 0x01}));
}
