#include <gtest/gtest.h>

#include <cmath>

#include "RTMPMedley/RTMP/Connection/ConnectionTestSupport.h"
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

TEST(AVCRecordTest, ReadsAndWritesTheGoldenRecord) {
  const AVCDecoderConfigurationRecord r(kGolden);
  EXPECT_EQ(r.avcLevelIndication, 0x1E);
  EXPECT_EQ(r.sequenceParameterSets, (std::vector<Bytes>{{0x67, 0x42, 0xC0}}));
  EXPECT_EQ(r.pictureParameterSets, (std::vector<Bytes>{{0x68, 0xCE}}));
  EXPECT_EQ(r.data(), kGolden);
}

TEST(AVCRecordTest, CountsAndExtensionBytes) {
  EXPECT_EQ(AVCDecoderConfigurationRecord(Bytes{1, 0x42, 0, 0x1E, 0xFF, 0xE0, 0x01, 0x00, 0x01, 0x68})
                .pictureParameterSets.size(), 1u);
  // High-profile bytes after the PPS read the same as without them and are not written.
  const AVCDecoderConfigurationRecord high(concat({kGolden, Bytes{0xFD, 0xF8, 0xF8, 0x00}}));
  EXPECT_EQ(high.data(), kGolden);
  // The written SPS count is the real one; reserved bits stay as read.
  AVCDecoderConfigurationRecord two(kGolden);
  two.sequenceParameterSets.push_back({0x67, 0x01});
  const Bytes written = two.data();
  EXPECT_EQ(written[5], 0xE2);
  EXPECT_EQ(AVCDecoderConfigurationRecord(written).sequenceParameterSets.size(), 2u);
  // Units that cannot be expressed are left out rather than written with a wrong length.
  AVCDecoderConfigurationRecord big(kGolden);
  big.pictureParameterSets.push_back(Bytes(70000, 1));
  EXPECT_EQ(big.data(), kGolden);
}

TEST(AVCRecordTest, ShortInputsKeepWhatWasReadAndLogOnce) {
  {
    rtmptest::LogRecording log;
    const AVCDecoderConfigurationRecord five(Bytes{1, 0x64, 0, 0x28, 0xFF});
    EXPECT_EQ(five.avcProfileIndication, 0x64);
    EXPECT_EQ(five.lengthSizeMinusOneWithReserved, 0xFF);
    EXPECT_EQ(five.numOfSequenceParameterSetsWithReserved, 0);
    EXPECT_EQ(log.errors(), 1);
  }
  {
    rtmptest::LogRecording log;
    const AVCDecoderConfigurationRecord cut(Bytes{1, 0x42, 0, 0x1E, 0xFF, 0xE1, 0x00, 0x0A, 1, 2, 3, 4});
    EXPECT_TRUE(cut.sequenceParameterSets.empty());
    EXPECT_EQ(log.errors(), 1);
  }
  // A count byte of 0xFF asks for 31 SPS; with two present it stops cleanly.
  const AVCDecoderConfigurationRecord many(Bytes{1, 0x42, 0, 0x1E, 0xFF, 0xFF, 0, 1, 0x67, 0, 1, 0x67});
  EXPECT_EQ(many.sequenceParameterSets.size(), 2u);
}

TEST(AVCRecordTest, FormatDescriptionFromTheFirstParameterSets) {
  AVCDecoderConfigurationRecord r(rtmptest::avcC(rtmptest::kAVCSPS, rtmptest::kAVCPPS));
  r.sequenceParameterSets.push_back({0x67, 0xFF});
  r.pictureParameterSets.push_back({0x68, 0xFF});
  const auto d = r.makeFormatDescription();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->mediaSubType(), platform::codec::h264);
  EXPECT_EQ(d->dimensions(), (platform::VideoDimensions{320, 240}));
  const AVCDecoderConfigurationRecord made(*d->sampleDescriptionAtom("avcC"));
  EXPECT_EQ(made.sequenceParameterSets, (std::vector<Bytes>{rtmptest::kAVCSPS}));
  EXPECT_EQ(made.lengthSizeMinusOneWithReserved & 0x03, 3);

  AVCDecoderConfigurationRecord noPPS;
  noPPS.sequenceParameterSets = {rtmptest::kAVCSPS};
  EXPECT_FALSE(noPPS.makeFormatDescription());
  AVCDecoderConfigurationRecord garbage;
  garbage.sequenceParameterSets = {{0x67}};
  garbage.pictureParameterSets = {{0x68}};
  EXPECT_FALSE(garbage.makeFormatDescription());
}

TEST(HEVCRecordTest, ReadsTheGeneralFields) {
  Bytes b = rtmptest::hvcC({});
  b[1] = 0x61;
  for (int i = 0; i < 6; ++i) b[6 + i] = i == 0 ? 0x90 : 0;
  const HEVCDecoderConfigurationRecord r(b);
  EXPECT_EQ(r.generalProfileSpace, 1);
  EXPECT_TRUE(r.generalTierFlag);
  EXPECT_EQ(r.generalProfileIdc, 1);
  EXPECT_EQ(r.generalProfileCompatibilityFlags, 0x60000000u);
  EXPECT_EQ(r.generalConstraintIndicatorFlags, 0x900000000000u);
  EXPECT_EQ(r.generalLevelIdc, 0x3C);
  EXPECT_EQ(r.chromaFormat, 1);
  EXPECT_EQ(r.numTemporalLayers, 1);
  EXPECT_EQ(r.temporalIdNested, 1);
  EXPECT_EQ(r.lengthSizeMinusOne, 3);
}

TEST(HEVCRecordTest, ArraysByNALUnitType) {
  const Bytes sei = {0x4E, 0x01, 0x05};
  const HEVCDecoderConfigurationRecord r(rtmptest::hvcC({{0xA0, {rtmptest::kHEVCVPS}},
                                                         {0x21, {rtmptest::kHEVCSPS}},
                                                         {0x22, {rtmptest::kHEVCPPS, {0x44, 0x02}}},
                                                         {0x27, {sei}},
                                                         {0x28, {}}}));
  EXPECT_EQ(r.array.at(NAL::vps), (std::vector<Bytes>{rtmptest::kHEVCVPS}));
  EXPECT_EQ(r.array.at(NAL::pps).size(), 2u);
  // Types 39 and 40 have no name: the later array replaces the earlier one.
  EXPECT_TRUE(r.array.at(NAL::unspec).empty());
  const auto d = r.makeFormatDescription();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->dimensions(), (platform::VideoDimensions{320, 240}));
  // The full layout is written and reads back the same.
  const HEVCDecoderConfigurationRecord again(r.data());
  EXPECT_EQ(again.array.at(NAL::sps), r.array.at(NAL::sps));
  EXPECT_EQ(again.data(), r.data());
}

TEST(HEVCRecordTest, MissingOrEmptyParameterSetsGiveNoFormat) {
  EXPECT_FALSE(HEVCDecoderConfigurationRecord(
                   rtmptest::hvcC({{0x21, {rtmptest::kHEVCSPS}}, {0x22, {rtmptest::kHEVCPPS}}}))
                   .makeFormatDescription());
  EXPECT_FALSE(HEVCDecoderConfigurationRecord(rtmptest::hvcC(
                   {{0x20, {}}, {0x21, {rtmptest::kHEVCSPS}}, {0x22, {rtmptest::kHEVCPPS}}}))
                   .makeFormatDescription());
  EXPECT_FALSE(HEVCDecoderConfigurationRecord().makeFormatDescription());
}

TEST(HEVCRecordTest, ShortInputsKeepWhatWasReadAndLogOnce) {
  {
    rtmptest::LogRecording log;
    const Bytes full = rtmptest::hvcC({});
    const HEVCDecoderConfigurationRecord r(Bytes(full.begin(), full.begin() + 22));
    EXPECT_EQ(r.numberOfArrays, 0);
    EXPECT_EQ(r.lengthSizeMinusOne, 3);
    EXPECT_EQ(log.errors(), 1);
  }
  {
    rtmptest::LogRecording log;
    Bytes b = rtmptest::hvcC({{0x20, {rtmptest::kHEVCVPS}}, {0x21, {rtmptest::kHEVCSPS, rtmptest::kHEVCSPS}}});
    b.resize(b.size() - 5);
    const HEVCDecoderConfigurationRecord r(b);
    EXPECT_EQ(r.array.at(NAL::vps).size(), 1u);
    EXPECT_EQ(r.array.at(NAL::sps).size(), 1u);
    EXPECT_EQ(log.errors(), 1);
  }
}

// (The common layout is checked with the Opus sequence header.)
TEST(OpusHeadTest, RatesAreWholeHertzAndImpossibleOnesAreRefused) {
  EXPECT_EQ(makeOpusHead(6, 44100.9), (Bytes{'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 6, 0, 0, 0x44, 0xAC, 0, 0, 0,
                                            0, 0}));
  for (auto [channels, rate] : std::vector<std::pair<int, double>>{{256, 48000}, {-1, 48000}, {2, 4294967296.0}, {2, NAN}})
    EXPECT_FALSE(makeOpusHead(channels, rate)) << channels << " " << rate;
}

}  // namespace
