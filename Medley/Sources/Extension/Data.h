#pragma once

#include <cstdint>
#include <vector>

namespace medley {

// The library's byte buffer: contiguous, owned, growable.
using Data = std::vector<std::uint8_t>;

}  // namespace medley
