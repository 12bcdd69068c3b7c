#include "Medley/Sources/ISO/NALUnitReader.h"

#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"
#include "Medley/Sources/Util/ByteArray.h"
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
    ByteArray buffer(std::span<const std::uint8_t>(block->data(), block->size()));
    // A length needs more than its four bytes to lie ahead; a cut unit ends the list.
    while (buffer.bytesAvailable() > 4) {
        const std::uint32_t length = buffer.readUInt32();
        if (length > static_cast<std::uint64_t>(buffer.bytesAvailable())) break;
        units.push_back(buffer.readBytes(length));
    }
    return units;
}

}  // namespace medley
