#include <gtest/gtest.h>

#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"
#include "Medley/Sources/ISO/NALBitReader.h"
#include "Medley/Sources/ISO/NALUnitReader.h"

using namespace medley;

namespace {

// A 1280x720 High-profile SPS (4:2:0, 8-bit) and a PPS, as an encoder writes them.
const Data kSPS{0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9, 0x40, 0x50, 0x05, 0xBB, 0x01, 0x10, 0x00, 0x00,
                0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0xC0, 0xF1, 0x83, 0x19, 0x60};
const Data kPPS{0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};

platform::SampleBufferRef frame(const Data& lengthPrefixed, bool key) {
    const auto avcC = VideoDecoderConfiguration::makeAVC({kSPS}, {kPPS});
    platform::VideoExtensions extensions;
    extensions.sampleDescriptionAtoms["avcC"] = *avcC;
    auto format = platform::FormatDescription::makeVideo(platform::codec::h264, 1280, 720, extensions);
    platform::SampleTiming timing;
    timing.presentationTime = platform::MediaTime(1, 30);
    auto sample = platform::SampleBuffer::makeData(platform::BlockBuffer::copy(lengthPrefixed), format, timing);
    sample->setNotSync(!key);
    return sample;
}

}  // namespace

TEST(NALSampleReader, KeyFrameStartsWithDelimiterAndParameterSets) {
    const Data units{0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 1, 0x65};
    const auto read = NALUnitReader().read(*frame(units, true));
    ASSERT_EQ(read.size(), 5u);
    EXPECT_EQ(read[0], (Data{0x09, 0x10}));
    EXPECT_EQ(read[1], kSPS);
    EXPECT_EQ(read[2], kPPS);
    EXPECT_EQ(read[3], (Data{0x65, 0x88}));
    EXPECT_EQ(read[4], Data{0x65});
}

TEST(NALSampleReader, NonKeyFrameAndCutUnits) {
    // The second unit claims more bytes than there are: reading stops there.
    const Data units{0, 0, 0, 1, 0x41, 0, 0, 0, 9, 0x41, 0x00};
    const auto read = NALUnitReader().read(*frame(units, false));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0], (Data{0x09, 0x30}));
    EXPECT_EQ(read[1], Data{0x41});
}

TEST(NALBitReaderTest, RemovesEmulationPreventionAndReadsExpGolomb) {
    EXPECT_EQ(NALBitReader::unescape(Data{0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03}), (Data{0x00, 0x00, 0x01, 0x00, 0x00}));
    // 1 | 010 | 011 | 00100 -> ue 0, 1, 2, 3
    NALBitReader r(Data{0b10100110, 0b01000000});
    EXPECT_EQ(r.ue(), 0u);
    EXPECT_EQ(r.ue(), 1u);
    EXPECT_EQ(r.ue(), 2u);
    EXPECT_EQ(r.ue(), 3u);
    EXPECT_FALSE(r.failed());
    r.bits(8);
    EXPECT_TRUE(r.failed());
    NALBitReader zeros(Data(8, 0x00));
    EXPECT_EQ(zeros.ue(), 0u);
    EXPECT_TRUE(zeros.failed());
}
