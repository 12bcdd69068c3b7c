#include "Quarzadel/Studio/StudioNotice.h"

#include <cstdio>
#include <random>

namespace quarzadel {

StudioNotice::StudioNotice(std::string text, Kind kind, std::optional<std::string> actionTitle,
                           std::function<void()> action)
    : actionTitle(std::move(actionTitle)), action(std::move(action)), id_(makeUUID()), text_(std::move(text)),
      kind_(kind) {}

std::string StudioNotice::logText() const {
  std::string line = "Notice: " + text_;
  if (actionTitle) line += " [" + *actionTitle + "]";
  return line;
}

std::string StudioNotice::makeUUID() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  uint64_t high = generator(), low = generator();
  high = (high & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;  // version 4
  low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;    // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", unsigned(high >> 32), unsigned((high >> 16) & 0xFFFF),
                unsigned(high & 0xFFFF), unsigned(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text;
}

}  // namespace quarzadel
