#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"

#include "Medley/Sources/ISO/NALBitReader.h"
#include "Platform/Media/FourCC.h"

namespace medley::VideoDecoderConfiguration {

namespace {

void put16(Data& out, std::size_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

bool fits16(const std::vector<Data>& units) {
    for (const auto& u : units) {
        if (u.empty() || u.size() > 0xFFFF) return false;
    }
    return units.size() <= 31;
}

// Bounds-checked cursor over an atom.
struct Cursor {
    std::span<const std::uint8_t> bytes;
    std::size_t position = 0;
    bool ok = true;
    std::uint32_t u8() {
        if (position + 1 > bytes.size()) { ok = false; return 0; }
        return bytes[position++];
    }
    std::uint32_t u16() { return (u8() << 8) | u8(); }
    void skip(std::size_t n) {
        if (bytes.size() - position < n) { ok = false; position = bytes.size(); return; }
        position += n;
    }
    std::optional<Data> take(std::size_t n) {
        if (!ok || bytes.size() - position < n) { ok = false; return std::nullopt; }
        Data d(bytes.begin() + position, bytes.begin() + position + n);
        position += n;
        return d;
    }
};

bool isHighProfile(std::uint32_t profileIdc) {
    switch (profileIdc) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138:
        case 139: case 134: case 135:
            return true;
        default:
            return false;
    }
}

struct HEVCProfileTierLevel {
    std::uint8_t generalByte = 0;  // profile_space(2) tier(1) profile_idc(5)
    std::uint32_t compatibility = 0;
    std::uint64_t constraints = 0;  // 48 bits
    std::uint8_t level = 0;
};

}  // namespace

std::optional<VideoSequenceInfo> readAVCSequenceInfo(std::span<const std::uint8_t> sps) {
    if (sps.size() < 4 || (sps[0] & 0x1F) != 7) return std::nullopt;
    NALBitReader r(sps.subspan(1));
    VideoSequenceInfo info;
    const std::uint32_t profileIdc = r.bits(8);
    r.skip(8);  // constraint flags
    info.levelIdc = r.bits(8);
    r.ue();      // seq_parameter_set_id
    if (isHighProfile(profileIdc)) {
        info.chromaFormatIdc = r.ue();
        if (info.chromaFormatIdc == 3) r.skip(1);
        info.bitDepthLumaMinus8 = r.ue();
        info.bitDepthChromaMinus8 = r.ue();
        r.skip(1);  // qpprime_y_zero_transform_bypass_flag
        if (r.flag()) {  // seq_scaling_matrix_present_flag
            const int lists = info.chromaFormatIdc != 3 ? 8 : 12;
            for (int i = 0; i < lists && !r.failed(); ++i) {
                if (!r.flag()) continue;
                const int size = i < 6 ? 16 : 64;
                int last = 8, next = 8;
                for (int j = 0; j < size && !r.failed(); ++j) {
                    if (next != 0) next = (last + r.se() + 256) % 256;
                    last = next == 0 ? last : next;
                }
            }
        }
    }
    r.ue();  // log2_max_frame_num_minus4
    const std::uint32_t pocType = r.ue();
    if (pocType == 0) {
        r.ue();
    } else if (pocType == 1) {
        r.skip(1);
        r.se();
        r.se();
        const std::uint32_t cycle = r.ue();
        if (cycle > 255) return std::nullopt;
        for (std::uint32_t i = 0; i < cycle; ++i) r.se();
    }
    r.ue();      // max_num_ref_frames
    r.skip(1);   // gaps_in_frame_num_value_allowed_flag
    const std::uint32_t widthMbs = r.ue() + 1;
    const std::uint32_t heightMapUnits = r.ue() + 1;
    const bool frameMbsOnly = r.flag();
    if (!frameMbsOnly) r.skip(1);
    r.skip(1);  // direct_8x8_inference_flag
    std::uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (r.flag()) {
        cropLeft = r.ue();
        cropRight = r.ue();
        cropTop = r.ue();
        cropBottom = r.ue();
    }
    if (r.failed() || widthMbs > 1024 || heightMapUnits > 1024) return std::nullopt;
    const std::uint32_t cropUnitX = info.chromaFormatIdc == 1 || info.chromaFormatIdc == 2 ? 2 : 1;
    const std::uint32_t cropUnitY = (info.chromaFormatIdc == 1 ? 2 : 1) * (frameMbsOnly ? 1 : 2);
    const std::int64_t width = std::int64_t(widthMbs) * 16 - std::int64_t(cropLeft + cropRight) * cropUnitX;
    const std::int64_t height =
        std::int64_t(heightMapUnits) * 16 * (frameMbsOnly ? 1 : 2) - std::int64_t(cropTop + cropBottom) * cropUnitY;
    if (width <= 0 || height <= 0) return std::nullopt;
    info.width = static_cast<std::int32_t>(width);
    info.height = static_cast<std::int32_t>(height);
    if (r.flag()) {  // vui_parameters_present_flag
        if (r.flag() && r.bits(8) == 255) r.skip(32);  // aspect ratio, extended SAR
        if (r.flag()) r.skip(1);                        // overscan
        if (r.flag()) {                                 // video signal type
            r.skip(4);
            if (r.flag()) r.skip(24);  // colour description
        }
        if (r.flag()) {  // chroma location
            r.ue();
            r.ue();
        }
        if (r.flag()) {  // timing_info_present_flag
            VideoSequenceInfo::Timing timing;
            timing.numUnitsInTick = r.bits(32);
            timing.timeScale = r.bits(32);
            timing.fixedFrameRate = r.flag();
            if (!r.failed()) info.timing = timing;
        }
    }
    return info;
}

namespace {

std::optional<HEVCProfileTierLevel> readProfileTierLevel(NALBitReader& r, std::uint32_t maxSubLayersMinus1) {
    HEVCProfileTierLevel ptl;
    ptl.generalByte = static_cast<std::uint8_t>(r.bits(8));
    ptl.compatibility = r.bits(32);
    ptl.constraints = (std::uint64_t(r.bits(16)) << 32) | r.bits(32);
    ptl.level = static_cast<std::uint8_t>(r.bits(8));
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (std::uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = r.flag();
        levelPresent[i] = r.flag();
    }
    if (maxSubLayersMinus1 > 0) {
        for (std::uint32_t i = maxSubLayersMinus1; i < 8; ++i) r.skip(2);
    }
    for (std::uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) r.skip(88);
        if (levelPresent[i]) r.skip(8);
    }
    if (r.failed()) return std::nullopt;
    return ptl;
}

struct HEVCSequence {
    VideoSequenceInfo info;
    HEVCProfileTierLevel ptl;
    std::uint32_t maxSubLayersMinus1 = 0;
    bool temporalIdNesting = false;
};

std::optional<HEVCSequence> readHEVCSequence(std::span<const std::uint8_t> sps) {
    if (sps.size() < 3 || ((sps[0] >> 1) & 0x3F) != 33) return std::nullopt;
    NALBitReader r(sps.subspan(2));
    HEVCSequence seq;
    r.skip(4);  // sps_video_parameter_set_id
    seq.maxSubLayersMinus1 = r.bits(3);
    seq.temporalIdNesting = r.flag();
    if (seq.maxSubLayersMinus1 > 6) return std::nullopt;
    auto ptl = readProfileTierLevel(r, seq.maxSubLayersMinus1);
    if (!ptl) return std::nullopt;
    seq.ptl = *ptl;
    seq.info.levelIdc = ptl->level;
    seq.info.highTier = (ptl->generalByte >> 5) & 1;
    r.ue();  // sps_seq_parameter_set_id
    seq.info.chromaFormatIdc = r.ue();
    if (seq.info.chromaFormatIdc == 3) r.skip(1);
    const std::uint32_t width = r.ue();
    const std::uint32_t height = r.ue();
    std::uint32_t left = 0, right = 0, top = 0, bottom = 0;
    if (r.flag()) {
        left = r.ue();
        right = r.ue();
        top = r.ue();
        bottom = r.ue();
    }
    seq.info.bitDepthLumaMinus8 = r.ue();
    seq.info.bitDepthChromaMinus8 = r.ue();
    if (r.failed() || seq.info.chromaFormatIdc > 3 || width > 16888 || height > 16888) return std::nullopt;
    const std::uint32_t subW = seq.info.chromaFormatIdc == 1 || seq.info.chromaFormatIdc == 2 ? 2 : 1;
    const std::uint32_t subH = seq.info.chromaFormatIdc == 1 ? 2 : 1;
    const std::int64_t w = std::int64_t(width) - std::int64_t(left + right) * subW;
    const std::int64_t h = std::int64_t(height) - std::int64_t(top + bottom) * subH;
    if (w <= 0 || h <= 0) return std::nullopt;
    seq.info.width = static_cast<std::int32_t>(w);
    seq.info.height = static_cast<std::int32_t>(h);
    return seq;
}

}  // namespace

std::optional<VideoSequenceInfo> readHEVCSequenceInfo(std::span<const std::uint8_t> sps) {
    auto seq = readHEVCSequence(sps);
    if (!seq) return std::nullopt;
    return seq->info;
}

std::optional<Data> makeAVC(const std::vector<Data>& sps, const std::vector<Data>& pps) {
    if (sps.empty() || pps.empty() || !fits16(sps) || !fits16(pps) || sps.front().size() < 4) return std::nullopt;
    const auto info = readAVCSequenceInfo(sps.front());
    if (!info) return std::nullopt;
    const Data& first = sps.front();
    Data out{1, first[1], first[2], first[3], 0xFF};  // version, profile, compatibility, level, 4-byte lengths
    out.push_back(static_cast<std::uint8_t>(0xE0 | sps.size()));
    for (const auto& u : sps) {
        put16(out, u.size());
        out.insert(out.end(), u.begin(), u.end());
    }
    out.push_back(static_cast<std::uint8_t>(pps.size()));
    for (const auto& u : pps) {
        put16(out, u.size());
        out.insert(out.end(), u.begin(), u.end());
    }
    if (isHighProfile(first[1])) {
        out.push_back(static_cast<std::uint8_t>(0xFC | (info->chromaFormatIdc & 3)));
        out.push_back(static_cast<std::uint8_t>(0xF8 | (info->bitDepthLumaMinus8 & 7)));
        out.push_back(static_cast<std::uint8_t>(0xF8 | (info->bitDepthChromaMinus8 & 7)));
        out.push_back(0);  // no SPS extensions
    }
    return out;
}

std::optional<Data> makeHEVC(const std::vector<Data>& vps, const std::vector<Data>& sps,
                             const std::vector<Data>& pps) {
    if (vps.empty() || sps.empty() || pps.empty() || !fits16(vps) || !fits16(sps) || !fits16(pps)) {
        return std::nullopt;
    }
    const auto seq = readHEVCSequence(sps.front());
    if (!seq) return std::nullopt;
    Data out;
    out.push_back(1);
    out.push_back(seq->ptl.generalByte);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(seq->ptl.compatibility >> shift));
    for (int shift = 40; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(seq->ptl.constraints >> shift));
    out.push_back(seq->ptl.level);
    put16(out, 0xF000);  // min_spatial_segmentation_idc 0
    out.push_back(0xFC);  // parallelismType unknown
    out.push_back(static_cast<std::uint8_t>(0xFC | (seq->info.chromaFormatIdc & 3)));
    out.push_back(static_cast<std::uint8_t>(0xF8 | (seq->info.bitDepthLumaMinus8 & 7)));
    out.push_back(static_cast<std::uint8_t>(0xF8 | (seq->info.bitDepthChromaMinus8 & 7)));
    put16(out, 0);  // avgFrameRate unknown
    out.push_back(static_cast<std::uint8_t>(((seq->maxSubLayersMinus1 + 1) << 3) | (seq->temporalIdNesting ? 4 : 0) | 3));
    out.push_back(3);
    const std::pair<std::uint8_t, const std::vector<Data>*> arrays[] = {{32, &vps}, {33, &sps}, {34, &pps}};
    for (const auto& [type, units] : arrays) {
        out.push_back(static_cast<std::uint8_t>(0x80 | type));  // complete
        put16(out, units->size());
        for (const auto& u : *units) {
            put16(out, u.size());
            out.insert(out.end(), u.begin(), u.end());
        }
    }
    return out;
}

std::optional<int> nalUnitLengthSizeOfAVC(std::span<const std::uint8_t> avcC) {
    if (avcC.size() < 7 || avcC[0] != 1) return std::nullopt;
    const int size = (avcC[4] & 3) + 1;
    if (size == 3) return std::nullopt;
    return size;
}

std::optional<int> nalUnitLengthSizeOfHEVC(std::span<const std::uint8_t> hvcC) {
    if (hvcC.size() < 23 || hvcC[0] != 1) return std::nullopt;
    const int size = (hvcC[21] & 3) + 1;
    if (size == 3) return std::nullopt;
    return size;
}

std::optional<std::vector<Data>> parameterSetsOfAVC(std::span<const std::uint8_t> avcC) {
    if (!nalUnitLengthSizeOfAVC(avcC)) return std::nullopt;
    Cursor c{avcC, 5};
    std::vector<Data> units;
    const std::uint32_t spsCount = c.u8() & 0x1F;
    for (std::uint32_t i = 0; i < spsCount && c.ok; ++i) {
        if (auto u = c.take(c.u16())) units.push_back(std::move(*u));
    }
    const std::uint32_t ppsCount = c.u8();
    for (std::uint32_t i = 0; i < ppsCount && c.ok; ++i) {
        if (auto u = c.take(c.u16())) units.push_back(std::move(*u));
    }
    if (!c.ok) return std::nullopt;
    return units;
}

std::optional<std::vector<Data>> parameterSetsOfHEVC(std::span<const std::uint8_t> hvcC) {
    if (!nalUnitLengthSizeOfHEVC(hvcC)) return std::nullopt;
    Cursor c{hvcC, 22};
    std::vector<Data> units;
    const std::uint32_t arrayCount = c.u8();
    for (std::uint32_t a = 0; a < arrayCount && c.ok; ++a) {
        c.u8();  // completeness and unit type
        const std::uint32_t count = c.u16();
        for (std::uint32_t i = 0; i < count && c.ok; ++i) {
            if (auto u = c.take(c.u16())) units.push_back(std::move(*u));
        }
    }
    if (!c.ok) return std::nullopt;
    return units;
}

std::vector<Data> parameterSets(const platform::FormatDescription& format) {
    std::optional<std::vector<Data>> units;
    if (const auto* avcC = format.sampleDescriptionAtom("avcC")) units = parameterSetsOfAVC(*avcC);
    else if (const auto* hvcC = format.sampleDescriptionAtom("hvcC")) units = parameterSetsOfHEVC(*hvcC);
    return units.value_or(std::vector<Data>{});
}

}  // namespace medley::VideoDecoderConfiguration
