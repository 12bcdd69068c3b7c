#pragma once
// The host's keys on a terminal: puts it in a raw mode (no line editing, no
// echo; Ctrl-C still interrupts) and hands every key byte to `onKey` from a
// reader thread. Destruction restores the terminal's mode and joins the thread.
#include <termios.h>

#include <functional>
#include <thread>

namespace quarzadel {

class TerminalKeys {
 public:
  // Throws std::system_error when `fd` is no terminal.
  TerminalKeys(int fd, std::function<void(char key)> onKey);
  ~TerminalKeys();
  TerminalKeys(const TerminalKeys&) = delete;
  TerminalKeys& operator=(const TerminalKeys&) = delete;

  static bool isTerminal(int fd);
  // The terminal's width in columns, 0 when unknown.
  static int columns(int fd);

 private:
  void readLoop();

  int fd_;
  std::function<void(char)> onKey_;
  termios saved_{};
  int wake_[2] = {-1, -1};
  std::thread reader_;
};

}  // namespace quarzadel
