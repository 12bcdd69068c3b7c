#include <gtest/gtest.h>

#include <cmath>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/Codec/AVCDecoderConfigurationRecord.h"
#include "RTMPMedley/Sources/Codec/HEVCDecoderConfigurationRecord.h"
#include "RTMPMedley/Sources/Codec/OpusHead.h"

using namespace rtmpmedley;
using rtmptest::Bytes;
using rtmptest::concat;
using NAL = medley::HEVCNALUnitType;

namespace {

const Bytes kGolden = {0x01, 0x42, 0xC0, 0x1E, 0xFF, 0xE1, 0x00, 0x03, 0x67, 0x42, 0xC0, 0x01, 0x00, 0x02, 0x68, 0xCE};

TEST(AVCRecordTest, WritesOnlyWhatItCanExpressAndReadsWhatIsThere) {
  // High-profile bytes after the PPS read the same as without them and are not written.
  EXPECT_EQ(AVCDecoderConfigurationRecord(concat({kGolden, Bytes{0xFD, 0xF8, 0xF8, 0x00}})).data(), kGolden);
  // The written SPS count is the real one; units too long for their length field are left out.
  AVCDecoderConfigurationRecord r(kGolden);
  r.sequenceParameterSets.push_back({0x67, 0x01});
  r.pictureParameterSets.push_back(Bytes(70000, 1));
  EXPECT_EQ(r.data()[5], 0xE2);
  EXPECT_EQ(AVCDecoderConfigurationRecord(r.data()).pictureParameterSets.size(), 1u);
  // Overclaiming inputs keep what was read.
  EXPECT_TRUE(AVCDecoderConfigurationRecord(Bytes{1, 0x42, 0, 0x1E, 0xFF, 0xE1, 0x00, 0x0A, 1, 2, 3, 4})
                  .sequenceParameterSets.empty());
  const AVCDecoderConfigurationRecord many(Bytes{1, 0x42, 0, 0x1E, 0xFF, 0xFF, 0, 1, 0x67, 0, 1, 0x67});
  EXPECT_EQ(many.sequenceParameterSets.size(), 2u);
  AVCDecoderConfigurationRecord garbage;
  garbage.sequenceParameterSets = {{0x67}};
  garbage.pictureParameterSets = {{0x68}};
  EXPECT_FALSE(garbage.makeFormatDescription());
}

TEST(HEVCRecordTest, ArraysByNALUnitType) {
  // (Records of real parameter sets are played by the stream's peer tests.)
  const Bytes vps = {0x40, 0x01}, sps = {0x42, 0x01}, pps = {0x44, 0x01};
  const HEVCDecoderConfigurationRecord r(
      rtmptest::hvcC({{0xA0, {vps}}, {0x21, {sps}}, {0x22, {pps, {0x44, 0x02}}}, {0x27, {{0x4E, 0x01, 0x05}}}, {0x28, {}}}));
  EXPECT_EQ(r.array.at(NAL::pps).size(), 2u);
  // Types 39 and 40 have no name: the later array replaces the earlier one.
  EXPECT_TRUE(r.array.at(NAL::unspec).empty());
  EXPECT_EQ(HEVCDecoderConfigurationRecord(r.data()).data(), r.data());
  // A record cut inside its arrays keeps the units before the cut.
  Bytes cut = rtmptest::hvcC({{0x20, {vps}}, {0x21, {sps, sps}}});
  cut.resize(cut.size() - 3);
  EXPECT_EQ(HEVCDecoderConfigurationRecord(cut).array.at(NAL::sps).size(), 1u);
}

// (The common layout is checked with the Opus sequence header.)
TEST(OpusHeadTest, RatesAreWholeHertzAndImpossibleOnesAreRefused) {
  const Bytes head = *makeOpusHead(6, 44100.9);
  EXPECT_EQ(Bytes(head.begin() + 12, head.begin() + 16), (Bytes{0x44, 0xAC, 0, 0}));
  for (auto [channels, rate] : std::vector<std::pair<int, double>>{{256, 48000}, {-1, 48000}, {2, 4294967296.0}, {2, NAN}})
    EXPECT_FALSE(makeOpusHead(channels, rate)) << channels << " " << rate;
}

}  // namespace
