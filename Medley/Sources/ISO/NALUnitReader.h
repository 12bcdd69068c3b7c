#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "Medley/Sources/Extension/Data.h"
#include "Medley/Sources/ISO/NALByteStream.h"
#include "Medley/Sources/ISO/NALUnit.h"
#include "Platform/Media/SampleBuffer.h"

namespace medley {

class NALUnitReader {
public:
    static constexpr std::int32_t defaultNALUnitHeaderLength = 4;

    std::int32_t nalUnitHeaderLength = defaultNALUnitHeaderLength;

    // The units of a start-code byte stream, last unit first (the stream is
    // scanned from its end). Units too short for their header (e.g. between
    // adjacent start codes) are skipped.
    template <NALUnit T>
    std::vector<T> read(std::span<const std::uint8_t> stream) const {
        std::vector<T> units;
        if (stream.size() < 2) return units;
        const auto found = splitNALByteStream(stream);
        for (auto it = found.rbegin(); it != found.rend(); ++it) {
            if (auto unit = T::make(it->bytes)) units.push_back(std::move(*unit));
        }
        return units;
    }

    // The units of one encoded frame (4-byte length-prefixed), ready to be
    // written with start codes: an access unit delimiter first, then on key
    // frames the format description's parameter sets, then the frame's units.
    // A cut unit at the end ends the list.
    std::vector<Data> read(const platform::SampleBuffer& sampleBuffer) const;
};

}  // namespace medley
