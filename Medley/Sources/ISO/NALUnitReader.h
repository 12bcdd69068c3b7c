#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "Medley/Sources/Extension/Data.h"
#include "Medley/Sources/ISO/NALByteStream.h"
#include "Medley/Sources/ISO/NALUnit.h"

namespace medley {

class NALUnitReader {
public:
    static constexpr std::int32_t defaultNALUnitHeaderLength = 4;

    std::int32_t nalUnitHeaderLength = defaultNALUnitHeaderLength;

    // The units of a start-code byte stream, in stream order. Units too short
    // for their header (e.g. between adjacent start codes) are skipped.
    template <NALUnit T>
    std::vector<T> read(std::span<const std::uint8_t> stream) const {
        std::vector<T> units;
        if (stream.size() < 2) return units;
        for (const auto& found : splitNALByteStream(stream)) {
            if (auto unit = T::make(found.bytes)) units.push_back(std::move(*unit));
        }
        return units;
    }
};

}  // namespace medley
