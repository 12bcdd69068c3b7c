#include "Medley/Sources/Stream/StreamSessionReadyState.h"

namespace medley {

std::string_view rawValue(StreamSessionReadyState state) {
  switch (state) {
    case StreamSessionReadyState::connecting:
      return "connecting";
    case StreamSessionReadyState::open:
      return "open";
    case StreamSessionReadyState::closing:
      return "closing";
    case StreamSessionReadyState::closed:
      return "closed";
  }
  return "closed";
}

std::optional<StreamSessionReadyState> makeStreamSessionReadyState(std::string_view raw) {
  for (auto state : {StreamSessionReadyState::connecting, StreamSessionReadyState::open,
                     StreamSessionReadyState::closing, StreamSessionReadyState::closed})
    if (rawValue(state) == raw) return state;
  return std::nullopt;
}

}  // namespace medley
