#include "Quarzadel/Shell/TerminalInput.h"

namespace quarzadel {

namespace {

constexpr char kEscape = '\x1b';

}  // namespace

void TerminalInput::feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    const auto byte = static_cast<unsigned char>(c);
    switch (state_) {
      case State::text:
        if (c == kEscape) state_ = State::escape;
        else if (onKey_) onKey_(c);
        break;
      case State::escape:
        if (c == '[') {
          state_ = State::csi;
          sequence_.clear();
        } else if (c == 'O') {
          state_ = State::ss3;
        } else {
          // Not a sequence: the escape key, then this byte as typed.
          state_ = State::text;
          if (onKey_) onKey_(kEscape);
          --i;
        }
        break;
      case State::csi:
        if (byte >= 0x40 && byte <= 0x7e) {
          state_ = State::text;
          sequenceEnded(c);
        } else if (byte >= 0x20 && byte <= 0x3f && sequence_.size() < 32) {
          sequence_.push_back(c);
        } else {
          // Not a well-formed sequence (or an endless one): give up on it.
          state_ = State::text;
        }
        break;
      case State::ss3:
        state_ = State::text;  // ESC O and one byte: a cursor or function key
        break;
    }
  }
  if (state_ == State::escape) {
    state_ = State::text;
    if (onKey_) onKey_(kEscape);
  }
}

void TerminalInput::sequenceEnded(char final) {
  if (final == 'I' && sequence_.empty() && onFocusIn_) onFocusIn_();
}

}  // namespace quarzadel
