#pragma once

#include <cstddef>
#include <optional>

#include "Medley/Sources/Extension/Data.h"
#include "Platform/Media/BlockBuffer.h"

namespace medley {

// A block buffer holding its own copy of `data` from `offset` on; none when
// nothing is left there (an offset at or past the end).
inline std::optional<platform::BlockBuffer> makeBlockBuffer(const Data& data, std::size_t offset) {
    if (offset >= data.size()) return std::nullopt;
    return platform::BlockBuffer::copy(data.data() + offset, data.size() - offset);
}

}  // namespace medley
