#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace medley {

// A stream's publish or playback state as the stream reports it.
enum class StreamReadyState : int {
  idle = 0,
  play = 1,
  playing = 2,
  publish = 3,
  publishing = 4,
};

// None for a raw value outside 0 to 4.
std::optional<StreamReadyState> makeStreamReadyState(int64_t rawValue);
std::string_view description(StreamReadyState state);

}  // namespace medley
