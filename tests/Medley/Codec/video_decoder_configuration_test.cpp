#include <gtest/gtest.h>

#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"
#include "Medley/Sources/Codec/VideoEncoder.h"

using namespace medley;
namespace config = medley::VideoDecoderConfiguration;

namespace {

std::vector<Data> encoderParameterSets(VideoEncoderConfiguration::Codec codec, const std::string& profile) {
    VideoEncoderConfiguration c;
    c.codec = codec;
    c.width = 1280;
    c.height = 720;
    c.profile = profile;
    OSStatus status = 0;
    auto encoder = VideoEncoder::make(c, status);
    EXPECT_EQ(status, VTStatus::noErr);
    return encoder ? encoder->parameterSets() : std::vector<Data>{};
}

}  // namespace

TEST(VideoDecoderConfigurationAVC, HighProfileCarriesChromaAndBitDepth) {
    const auto sets = encoderParameterSets(VideoEncoderConfiguration::Codec::h264, "high");
    ASSERT_EQ(sets.size(), 2u);
    const auto avcC = config::makeAVC({sets[0]}, {sets[1]});
    ASSERT_TRUE(avcC);
    const Data& a = *avcC;
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(a[1], 100);        // profile from the SPS
    EXPECT_EQ(a[4], 0xFF);       // 4-byte lengths
    EXPECT_EQ(a[5], 0xE1);       // one SPS
    const std::size_t tail = a.size() - 4;
    EXPECT_EQ(a[tail], 0xFD);      // chroma_format_idc 1
    EXPECT_EQ(a[tail + 1], 0xF8);  // 8-bit luma
    EXPECT_EQ(a[tail + 2], 0xF8);
    EXPECT_EQ(a[tail + 3], 0);
    EXPECT_EQ(config::parameterSetsOfAVC(a), sets);
}

TEST(VideoDecoderConfigurationAVC, BaselineHasNoExtensionAndBadInputIsRefused) {
    const auto sets = encoderParameterSets(VideoEncoderConfiguration::Codec::h264, "baseline");
    const auto avcC = config::makeAVC({sets[0]}, {sets[1]});
    ASSERT_TRUE(avcC);
    EXPECT_EQ(avcC->size(), 6 + 2 + sets[0].size() + 1 + 2 + sets[1].size());
    EXPECT_FALSE(config::makeAVC({}, {sets[1]}));
    EXPECT_FALSE(config::makeAVC({sets[1]}, {sets[1]}));  // a PPS is no SPS
    // Cut anywhere, the atom is refused, never over-read.
    for (std::size_t n = 0; n < avcC->size(); ++n) {
        const Data cut(avcC->begin(), avcC->begin() + n);
        const auto units = config::parameterSetsOfAVC(cut);
        if (units) EXPECT_LT(units->size(), 2u) << n;
    }
    Data threeByteLengths = *avcC;
    threeByteLengths[4] = 0xFE;
    EXPECT_FALSE(config::nalUnitLengthSizeOfAVC(threeByteLengths));
}

TEST(VideoDecoderConfigurationHEVC, LayoutAndRoundTrip) {
    const auto sets = encoderParameterSets(VideoEncoderConfiguration::Codec::hevc, "main");
    ASSERT_EQ(sets.size(), 3u);
    const auto hvcC = config::makeHEVC({sets[0]}, {sets[1]}, {sets[2]});
    ASSERT_TRUE(hvcC);
    const Data& h = *hvcC;
    EXPECT_EQ(h[0], 1);
    EXPECT_EQ(h[1] & 0x1F, 1);    // Main profile
    EXPECT_EQ(h[16] & 3, 1);      // 4:2:0
    EXPECT_EQ(h[21] & 3, 3);      // 4-byte lengths
    EXPECT_EQ(h[22], 3);          // VPS, SPS, PPS arrays
    EXPECT_EQ(h[23], 0x80 | 32);  // complete VPS array first
    EXPECT_EQ(config::parameterSetsOfHEVC(h), sets);
    for (std::size_t n = 23; n < h.size(); n += 7) {
        EXPECT_FALSE(config::parameterSetsOfHEVC(Data(h.begin(), h.begin() + n))) << n;
    }
    EXPECT_FALSE(config::makeHEVC({}, {sets[1]}, {sets[2]}));
    EXPECT_FALSE(config::readHEVCSequenceInfo(Data{0x42, 0x01, 0x01}));
}
