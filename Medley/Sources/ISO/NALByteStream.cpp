#include "Medley/Sources/ISO/NALByteStream.h"

#include <cstring>

namespace medley {

namespace {

// Position of the 01 of the next 00 00 01 at or after `from` (>= 2), or size.
std::size_t findStartCodeEnd(const std::uint8_t* p, std::size_t size, std::size_t from) {
    std::size_t i = from < 2 ? 2 : from;
    while (i < size) {
        const void* hit = std::memchr(p + i, 0x01, size - i);
        if (hit == nullptr) return size;
        i = static_cast<const std::uint8_t*>(hit) - p;
        if (p[i - 1] == 0 && p[i - 2] == 0) return i;
        ++i;
    }
    return size;
}

}  // namespace

std::vector<NALByteStreamUnit> splitNALByteStream(std::span<const std::uint8_t> stream) {
    std::vector<NALByteStreamUnit> units;
    const std::uint8_t* p = stream.data();
    const std::size_t size = stream.size();
    if (size < 3) return units;

    std::size_t one = findStartCodeEnd(p, size, 2);
    while (one < size) {
        NALByteStreamUnit unit;
        const std::size_t p0 = one - 2;  // first byte of 00 00 01
        const bool four = p0 >= 1 && p[p0 - 1] == 0;
        unit.startCodeOffset = four ? p0 - 1 : p0;
        unit.startCodeLength = four ? 4 : 3;
        const std::size_t begin = one + 1;
        const std::size_t next = findStartCodeEnd(p, size, begin + 2);
        std::size_t end = next < size ? next - 2 : size;
        while (end > begin && p[end - 1] == 0) --end;
        unit.bytes = stream.subspan(begin, end - begin);
        units.push_back(unit);
        one = next;
    }
    return units;
}

void appendLengthPrefixedNALUnit(Data& out, std::span<const std::uint8_t> unit) {
    const auto n = static_cast<std::uint32_t>(unit.size());
    const std::uint8_t prefix[4] = {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                                    static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    out.insert(out.end(), prefix, prefix + 4);
    out.insert(out.end(), unit.begin(), unit.end());
}

void nalByteStreamToLengthPrefixed(std::span<const std::uint8_t> stream, Data& out) {
    out.clear();
    const auto units = splitNALByteStream(stream);
    if (units.empty()) {
        out.assign(stream.begin(), stream.end());
        return;
    }
    out.reserve(stream.size() + units.size());
    const std::size_t lead = units.front().startCodeOffset;
    bool allZero = true;
    for (std::size_t i = 0; i < lead; ++i) allZero = allZero && stream[i] == 0;
    if (!allZero) out.insert(out.end(), stream.begin(), stream.begin() + lead);
    for (const auto& unit : units) {
        if (!unit.bytes.empty()) appendLengthPrefixedNALUnit(out, unit.bytes);
    }
}

}  // namespace medley
