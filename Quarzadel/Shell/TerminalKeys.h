#pragma once
// The host's keys on a terminal: puts it in a raw mode (no line editing, no
// echo; Ctrl-C still interrupts) and hands every key byte to `onKey` from a
// reader thread; escape sequences are not keys. With `onFocusIn` and a
// terminal to write to, it turns the terminal's focus reporting on and tells
// each focus-in from the same thread. Destruction turns reporting off again,
// restores the terminal's mode and joins the thread.
#include <termios.h>

#include <functional>
#include <thread>

#include "Quarzadel/Shell/TerminalInput.h"

namespace quarzadel {

class TerminalKeys {
 public:
  // Throws std::system_error when `fd` is no terminal.
  TerminalKeys(int fd, std::function<void(char key)> onKey, std::function<void()> onFocusIn = {},
               int reportFd = -1);
  ~TerminalKeys();
  TerminalKeys(const TerminalKeys&) = delete;
  TerminalKeys& operator=(const TerminalKeys&) = delete;

  static bool isTerminal(int fd);
  // The terminal's width in columns, 0 when unknown.
  static int columns(int fd);

 private:
  void readLoop();

  int fd_;
  int reportFd_ = -1;  // where focus reporting was turned on, -1 nowhere
  TerminalInput input_;
  termios saved_{};
  int wake_[2] = {-1, -1};
  std::thread reader_;
};

}  // namespace quarzadel
