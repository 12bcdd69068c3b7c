#pragma once
// The ingest URL that replaces the event's: the user default
// "RTMPServerOverride" when present and non-empty. Read anew at every call, so a
// change applies at the next go-live. While it is set the event's status is not
// polled.
#include <optional>
#include <string>

#include "Platform/Defaults/UserDefaults.h"

namespace quarzadel {

inline constexpr const char* kRTMPServerOverrideKey = "RTMPServerOverride";

std::optional<std::string> rtmpServerOverride(const platform::UserDefaults& defaults);

}  // namespace quarzadel
