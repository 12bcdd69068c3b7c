#pragma once
// SIGINT and SIGTERM as requests: the handler only writes the signal's number
// into a pipe; a reader thread hands each to `onSignal`, outside the handler's
// restrictions. One instance at a time; destruction restores the previous
// handlers and joins the thread.
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace quarzadel {

class QuitSignals {
 public:
  // Throws std::system_error when the pipe or the handlers cannot be set up.
  explicit QuitSignals(std::function<void(int signal)> onSignal);
  ~QuitSignals();
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;

 private:
  void readLoop();

  std::function<void(int)> onSignal_;
  int pipe_[2] = {-1, -1};
  std::thread reader_;
};

}  // namespace quarzadel
