#include "Quarzadel/Log/MaskedStreamKey.h"

#include <vector>

namespace quarzadel {
namespace {
// Offsets at which the characters begin (a stray continuation byte counts as one).
std::vector<size_t> characterStarts(std::string_view text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    bool continuation = (byte & 0xC0) == 0x80;
    if (!continuation || starts.empty() || i - starts.back() >= 4) starts.push_back(i);
  }
  return starts;
}
}  // namespace

std::string maskedStreamKey(std::string_view text) {
  if (text.find("://") != std::string_view::npos) return std::string(text);
  auto starts = characterStarts(text);
  if (starts.size() < 7) return std::string(text);
  std::string out(text.substr(0, starts[4]));
  out += "…";
  out += text.substr(starts[starts.size() - 2]);
  return out;
}

}  // namespace quarzadel
