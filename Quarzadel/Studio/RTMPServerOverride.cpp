#include "Quarzadel/Studio/RTMPServerOverride.h"

namespace quarzadel {

std::optional<std::string> rtmpServerOverride(const platform::UserDefaults& defaults) {
  auto value = defaults.string(kRTMPServerOverrideKey);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

}  // namespace quarzadel
