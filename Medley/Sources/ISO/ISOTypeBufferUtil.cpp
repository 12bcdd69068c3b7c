#include "Medley/Sources/ISO/ISOTypeBufferUtil.h"

#include "Medley/Sources/ISO/NALByteStream.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

Data ISOTypeBufferUtil::toByteStream() const {
    static constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};
    Data result;
    result.reserve(data.size());
    std::size_t position = 0;
    while (position < data.size()) {
        if (data.size() - position < 4) {
            MEDLEY_LOG_ERROR("eof: ", data.size() - position, " bytes left for a 4-byte length");
            break;
        }
        const std::uint32_t length = (std::uint32_t(data[position]) << 24) | (std::uint32_t(data[position + 1]) << 16) |
                                     (std::uint32_t(data[position + 2]) << 8) | std::uint32_t(data[position + 3]);
        position += 4;
        if (data.size() - position < length) {
            MEDLEY_LOG_ERROR("eof: unit of ", length, " bytes with ", data.size() - position, " left");
            break;
        }
        result.insert(result.end(), kStartCode, kStartCode + 4);
        result.insert(result.end(), data.begin() + position, data.begin() + position + length);
        position += length;
    }
    return result;
}

void ISOTypeBufferUtil::toLengthPrefixed() {
    Data out;
    nalByteStreamToLengthPrefixed(data, out);
    data.swap(out);
}

}  // namespace medley
