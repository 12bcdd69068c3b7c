#pragma once
// What a terminal sends besides typed keys: with focus reporting on it reports
// its window gaining focus as ESC [ I (and losing it as ESC [ O); cursor and
// function keys arrive as escape sequences (ESC [ ... final, ESC O x). This
// splits the input into single keys and focus-in reports and drops every other
// sequence whole, so that no byte of one reads as a key. A sequence cut across
// two reads is completed by the next; a lone ESC at the end of a read is a key.
#include <cstddef>
#include <functional>
#include <string>

namespace quarzadel {

class TerminalInput {
 public:
  static constexpr const char* kFocusReportingOn = "\x1b[?1004h";
  static constexpr const char* kFocusReportingOff = "\x1b[?1004l";

  TerminalInput(std::function<void(char key)> onKey, std::function<void()> onFocusIn)
      : onKey_(std::move(onKey)), onFocusIn_(std::move(onFocusIn)) {}

  // One read's bytes.
  void feed(const char* data, size_t size);

 private:
  enum class State { text, escape, csi, ss3 };
  void sequenceEnded(char final);

  std::function<void(char)> onKey_;
  std::function<void()> onFocusIn_;
  State state_ = State::text;
  std::string sequence_;  // parameter and intermediate bytes of the current CSI sequence
};

}  // namespace quarzadel
