#include "Medley/Sources/ISO/NALUnitReader.h"

#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"
#include "Platform/Media/FourCC.h"

namespace medley {

std::vector<Data> NALUnitReader::read(const platform::SampleBuffer& sampleBuffer) const {
    std::vector<Data> units;
    const auto& format = sampleBuffer.formatDescription();
    const bool hevc = format && (format->mediaSubType() == platform::codec::hevc ||
                                 format->mediaSubType() == platform::fourCC("hev1"));
    // Delimiters in the stream's own syntax: H.264 primary_pic_type, HEVC pic_type.
    if (!sampleBuffer.isSync()) {
        units.push_back(hevc ? Data{0x46, 0x01, 0x30} : Data{0x09, 0x30});
    } else if (format) {
        units.push_back(hevc ? Data{0x46, 0x01, 0x10} : Data{0x09, 0x10});
        for (auto& unit : VideoDecoderConfiguration::parameterSets(*format)) units.push_back(std::move(unit));
    }
    const platform::BlockBuffer* block = sampleBuffer.dataBuffer();
    if (!block) return units;
    const std::uint8_t* bytes = block->data();
    const std::size_t size = block->size();
    std::size_t offset = 0;
    while (offset + 4 < size) {
        const std::size_t length = (std::size_t(bytes[offset]) << 24) | (std::size_t(bytes[offset + 1]) << 16) |
                                   (std::size_t(bytes[offset + 2]) << 8) | std::size_t(bytes[offset + 3]);
        if (length > size - offset - 4) break;
        units.emplace_back(bytes + offset + 4, bytes + offset + 4 + length);
        offset += 4 + length;
    }
    return units;
}

}  // namespace medley
