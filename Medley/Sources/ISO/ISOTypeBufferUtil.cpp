#include "Medley/Sources/ISO/ISOTypeBufferUtil.h"

#include "Medley/Sources/ISO/NALByteStream.h"
#include "Medley/Sources/Util/ByteArray.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

Data ISOTypeBufferUtil::toByteStream() const {
    static constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};
    Data result;
    result.reserve(data.size());
    ByteArray buffer(data);
    while (buffer.bytesAvailable() > 0) {
        const auto left = buffer.bytesAvailable();
        std::uint32_t length = 0;
        try {
            length = buffer.readUInt32();
        } catch (const ByteArray::Error&) {
            MEDLEY_LOG_ERROR("eof:", left, "bytes left for a 4-byte length");
            break;
        }
        try {
            const auto unit = buffer.readSpan(length);
            result.insert(result.end(), kStartCode, kStartCode + 4);
            result.insert(result.end(), unit.begin(), unit.end());
        } catch (const ByteArray::Error&) {
            MEDLEY_LOG_ERROR("eof: unit of", length, "bytes with", left - 4, "left");
            break;
        }
    }
    return result;
}

void ISOTypeBufferUtil::toLengthPrefixed() {
    Data out;
    nalByteStreamToLengthPrefixed(data, out);
    data.swap(out);
}

}  // namespace medley
