#include "Medley/Sources/Stream/StreamReadyState.h"

namespace medley {

std::optional<StreamReadyState> makeStreamReadyState(int64_t rawValue) {
  if (rawValue < 0 || rawValue > 4) return std::nullopt;
  return static_cast<StreamReadyState>(rawValue);
}

std::string_view description(StreamReadyState state) {
  switch (state) {
    case StreamReadyState::idle:
      return "idle";
    case StreamReadyState::play:
      return "play";
    case StreamReadyState::playing:
      return "playing";
    case StreamReadyState::publish:
      return "publish";
    case StreamReadyState::publishing:
      return "publishing";
  }
  return "";
}

}  // namespace medley
