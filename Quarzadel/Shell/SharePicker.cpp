#include "Quarzadel/Shell/SharePicker.h"

#include "Platform/Text/AsciiLowercase.h"

namespace quarzadel {

SharePicker::SharePicker(std::vector<Target> targets, bool sharing) : targets_(std::move(targets)), sharing_(sharing) {}

std::string SharePicker::menu() const {
  std::string text = "Share which? Type its number (Enter after a partial one), any other key cancels:";
  for (size_t i = 0; i < targets_.size(); ++i) {
    const auto& t = targets_[i];
    text += "\n  " + std::to_string(i + 1) + "  " + (t.kind == Target::Kind::display ? "Screen: " : "Window: ") +
            t.name + " (" + std::to_string(t.width) + "x" + std::to_string(t.height) + ")";
  }
  if (sharing_) text += "\n  0  Stop sharing";
  return text;
}

SharePicker::Choice SharePicker::key(char key) {
  const size_t count = targets_.size();
  if (key == '\x7f' || key == '\b') {
    if (!typed_.empty()) typed_.pop_back();
    return {};
  }
  if (key == '\r' || key == '\n') {
    if (typed_.empty()) return {Outcome::cancelled, std::nullopt};
    const size_t n = std::stoul(typed_);
    if (n == 0) return {sharing_ ? Outcome::stopSharing : Outcome::cancelled, std::nullopt};
    return {Outcome::chosen, targets_[n - 1]};
  }
  if (key < '0' || key > '9') return {Outcome::cancelled, std::nullopt};
  if (typed_.empty() && key == '0') return {sharing_ ? Outcome::stopSharing : Outcome::cancelled, std::nullopt};
  const std::string next = typed_ + key;
  // A number past the list is a slip of the finger: the key is ignored.
  if (next.size() > 9 || std::stoul(next) > count) return {};
  typed_ = next;
  const size_t n = std::stoul(typed_);
  if (n * 10 > count) return {Outcome::chosen, targets_[n - 1]};
  return {};
}

std::optional<SharePicker::Target> SharePicker::find(const std::vector<Target>& targets, Target::Kind kind,
                                                     const std::string& name) {
  const std::string wanted = platform::asciiLowercase(name);
  const Target* holding = nullptr;
  for (const auto& t : targets) {
    if (t.kind != kind) continue;
    if (kind == Target::Kind::display) return t;
    const std::string have = platform::asciiLowercase(t.name);
    if (have == wanted) return t;
    if (!holding && have.find(wanted) != std::string::npos) holding = &t;
  }
  if (holding) return *holding;
  return std::nullopt;
}

}  // namespace quarzadel
