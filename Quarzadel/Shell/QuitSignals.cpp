#include "Quarzadel/Shell/QuitSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace quarzadel {

namespace {

std::atomic<int> writeEnd{-1};
struct sigaction previousInt {};
struct sigaction previousTerm {};

void handle(int signal) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  if (int fd = writeEnd.load(); fd >= 0) (void)!::write(fd, &byte, 1);
  errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  if (::pipe2(pipe_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  // A burst of signals must never block the handler.
  ::fcntl(pipe_[1], F_SETFL, O_NONBLOCK);
  writeEnd = pipe_[1];
  struct sigaction action {};
  action.sa_handler = handle;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &previousInt);
  ::sigaction(SIGTERM, &action, &previousTerm);
  reader_ = std::thread([this] { readLoop(); });
}

QuitSignals::~QuitSignals() {
  ::sigaction(SIGINT, &previousInt, nullptr);
  ::sigaction(SIGTERM, &previousTerm, nullptr);
  writeEnd = -1;
  // A zero byte ends the reader.
  const unsigned char stop = 0;
  (void)!::write(pipe_[1], &stop, 1);
  if (reader_.joinable()) reader_.join();
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void QuitSignals::readLoop() {
  for (;;) {
    unsigned char byte = 0;
    const ssize_t n = ::read(pipe_[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == 0) return;
    if (onSignal_) onSignal_(byte);
  }
}

}  // namespace quarzadel
