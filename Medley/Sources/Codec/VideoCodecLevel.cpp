#include "Medley/Sources/Codec/VideoCodecLevel.h"

#include <algorithm>
#include <cmath>
#include <span>

namespace medley::VideoCodecLevel {

namespace {

struct Limits {
    int level;
    double maxSamplesPerSecond;  // luma samples
    double maxPictureSamples;    // luma samples
    double maxKilobits;          // main tier, and what H.264 Baseline and Main allow
    double maxKilobitsHighTier;  // HEVC only; 0: no high tier
};

// H.264 counts macroblocks; these are the same limits in luma samples (x 256).
constexpr Limits kH264[] = {
    {10, 1485 * 256., 99 * 256., 64, 0},          {11, 3000 * 256., 396 * 256., 192, 0},
    {12, 6000 * 256., 396 * 256., 384, 0},        {13, 11880 * 256., 396 * 256., 768, 0},
    {20, 11880 * 256., 396 * 256., 2000, 0},      {21, 19800 * 256., 792 * 256., 4000, 0},
    {22, 20250 * 256., 1620 * 256., 4000, 0},     {30, 40500 * 256., 1620 * 256., 10000, 0},
    {31, 108000 * 256., 3600 * 256., 14000, 0},   {32, 216000 * 256., 5120 * 256., 20000, 0},
    {40, 245760 * 256., 8192 * 256., 20000, 0},   {41, 245760 * 256., 8192 * 256., 50000, 0},
    {42, 522240 * 256., 8704 * 256., 50000, 0},   {50, 589824 * 256., 22080 * 256., 135000, 0},
    {51, 983040 * 256., 36864 * 256., 240000, 0}, {52, 2073600 * 256., 36864 * 256., 240000, 0},
    {60, 4177920 * 256., 139264 * 256., 240000, 0}, {61, 8355840 * 256., 139264 * 256., 480000, 0},
    {62, 16711680 * 256., 139264 * 256., 800000, 0},
};

constexpr Limits kHEVC[] = {
    {10, 552960., 36864., 128, 0},
    {20, 3686400., 122880., 1500, 0},
    {21, 7372800., 245760., 3000, 0},
    {30, 16588800., 552960., 6000, 0},
    {31, 33177600., 983040., 10000, 0},
    {40, 66846720., 2228224., 12000, 30000},
    {41, 133693440., 2228224., 20000, 50000},
    {50, 267386880., 8912896., 25000, 100000},
    {51, 534773760., 8912896., 40000, 160000},
    {52, 1069547520., 8912896., 60000, 240000},
    {60, 1069547520., 35651584., 60000, 240000},
    {61, 2139095040., 35651584., 120000, 480000},
    {62, 4278190080., 35651584., 240000, 800000},
};

std::span<const Limits> table(const VideoEncoderConfiguration& c) {
    if (c.codec == VideoEncoderConfiguration::Codec::hevc) return kHEVC;
    return kH264;
}

bool fitsLimits(const VideoEncoderConfiguration& c, const Limits& l, bool highTier) {
    const bool hevc = c.codec == VideoEncoderConfiguration::Codec::hevc;
    const double w = c.width, h = c.height;
    const double fps = c.expectedFrameRate > 0 ? c.expectedFrameRate : 30;
    // H.264 counts whole macroblocks; HEVC luma samples.
    const double pw = hevc ? w : std::ceil(w / 16) * 16;
    const double ph = hevc ? h : std::ceil(h / 16) * 16;
    const double samples = pw * ph;
    // Neither side may exceed the square of eight times the largest picture.
    const double longest = std::sqrt(8 * l.maxPictureSamples);
    if (samples > l.maxPictureSamples || pw > longest || ph > longest) return false;
    if (samples * fps > l.maxSamplesPerSecond * 1.0001) return false;
    double kilobits = highTier && l.maxKilobitsHighTier > 0 ? l.maxKilobitsHighTier : l.maxKilobits;
    if (!hevc && c.profile == "high") kilobits *= 1.25;
    const double bits = static_cast<double>(std::max(c.bitRate, c.vbvMaxBitRate));
    return bits <= kilobits * 1000;
}

}  // namespace

bool fits(const VideoEncoderConfiguration& configuration, int level, bool highTier) {
    for (const auto& l : table(configuration)) {
        if (l.level == level) return fitsLimits(configuration, l, highTier);
    }
    return false;
}

std::optional<int> lowestFitting(const VideoEncoderConfiguration& configuration, int atLeast) {
    for (const auto& l : table(configuration)) {
        if (l.level >= atLeast && fitsLimits(configuration, l, false)) return l.level;
    }
    return std::nullopt;
}

std::string name(int level) { return std::to_string(level / 10) + "." + std::to_string(level % 10); }

}  // namespace medley::VideoCodecLevel
