#pragma once
#include <optional>
#include <string_view>

namespace medley {

// Where a session stands; its raw values are the case names.
enum class StreamSessionReadyState { connecting, open, closing, closed };

std::string_view rawValue(StreamSessionReadyState state);
std::optional<StreamSessionReadyState> makeStreamSessionReadyState(std::string_view rawValue);

}  // namespace medley
