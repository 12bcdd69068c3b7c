#include "Quarzadel/Shell/TerminalKeys.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace quarzadel {

bool TerminalKeys::isTerminal(int fd) { return ::isatty(fd) == 1; }

int TerminalKeys::columns(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

namespace {

void writeAll(int fd, const char* text) {
  for (size_t left = std::strlen(text); left > 0;) {
    const ssize_t n = ::write(fd, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

TerminalKeys::TerminalKeys(int fd, std::function<void(char)> onKey, std::function<void()> onFocusIn, int reportFd)
    : fd_(fd), input_(std::move(onKey), onFocusIn) {
  if (::tcgetattr(fd_, &saved_) != 0) throw std::system_error(errno, std::generic_category(), "tcgetattr");
  termios raw = saved_;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(fd_, TCSANOW, &raw) != 0) throw std::system_error(errno, std::generic_category(), "tcsetattr");
  if (::pipe2(wake_, O_CLOEXEC) != 0) {
    ::tcsetattr(fd_, TCSANOW, &saved_);
    throw std::system_error(errno, std::generic_category(), "pipe");
  }
  if (onFocusIn && reportFd >= 0 && isTerminal(reportFd)) {
    reportFd_ = reportFd;
    writeAll(reportFd_, TerminalInput::kFocusReportingOn);
  }
  reader_ = std::thread([this] { readLoop(); });
}

TerminalKeys::~TerminalKeys() {
  const char stop = 0;
  (void)!::write(wake_[1], &stop, 1);
  if (reader_.joinable()) reader_.join();
  ::close(wake_[0]);
  ::close(wake_[1]);
  if (reportFd_ >= 0) writeAll(reportFd_, TerminalInput::kFocusReportingOff);
  ::tcsetattr(fd_, TCSANOW, &saved_);
}

void TerminalKeys::readLoop() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return;
    char keys[64];
    const ssize_t n = ::read(fd_, keys, sizeof keys);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the terminal went away
    input_.feed(keys, static_cast<size_t>(n));
  }
}

}  // namespace quarzadel
