#pragma once
// Hides a stream key in log lines.
#include <string>
#include <string_view>

namespace quarzadel {

// A text of at least 7 characters without "://" becomes its first 4 characters,
// "…" and its last 2; any other text (short keys, URLs) comes back unchanged.
// Characters are counted as code points of the UTF-8 text, never as bytes.
std::string maskedStreamKey(std::string_view text);

}  // namespace quarzadel
