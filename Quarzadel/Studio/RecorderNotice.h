#pragma once
// A message about the local copy for the Studio to show: its text, whether it is
// information or a warning, an optional action with its title, and how long it
// stays.
#include <functional>
#include <optional>
#include <string>

namespace quarzadel {

struct RecorderNotice {
  enum class Kind { info, warning };
  std::string text;
  Kind kind = Kind::info;
  std::optional<std::string> actionTitle;
  std::function<void()> action;
  double dismissAfter = 6;
};

}  // namespace quarzadel
