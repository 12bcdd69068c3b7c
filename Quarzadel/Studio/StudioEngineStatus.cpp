#include "Quarzadel/Studio/StudioEngineStatus.h"

#include <chrono>

namespace quarzadel {

std::string_view StudioEngineStatus::name() const {
  static constexpr std::string_view names[] = {"live", "reconnecting", "starting", "ready", "connecting", "stopping"};
  return names[value.index()];
}

std::string StudioEngineStatus::description() const {
  if (const auto* live = std::get_if<Live>(&value)) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(live->since.time_since_epoch()).count();
    return "live(" + std::to_string(ms / 1000) + "." + std::to_string(1000 + ms % 1000).substr(1) + ")";
  }
  if (const auto* again = std::get_if<Reconnecting>(&value))
    return "reconnecting(" + std::to_string(again->attempt) + ", " + again->reason + ")";
  return std::string(name());
}

std::string_view name(StudioEnginePermission permission) {
  switch (permission) {
    case StudioEnginePermission::granted:
      return "granted";
    case StudioEnginePermission::denied:
      return "denied";
    case StudioEnginePermission::unknown:
      break;
  }
  return "unknown";
}

}  // namespace quarzadel
