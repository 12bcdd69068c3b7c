#pragma once
// A virtual X server (Xvfb, with shared memory) on a display number of this
// process's own, for as long as the object lives; stopped by its process id.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qztest {

class XvfbServer {
 public:
  explicit XvfbServer(std::string screen = "1280x720x24") {
    // A number of this process's own rather than the lowest free one: a display
    // just given up by another test's server may still be answered by that dying
    // server (its abstract socket outlives its lock file), which ends our
    // connection under us. A number that is taken makes the server exit; try the next.
    static std::atomic<int> serial{0};
    for (int attempt = 0; attempt < 8 && display_.empty(); ++attempt)
      start(1000 + (::getpid() * 16 + serial++) % 30000, screen);
  }
  ~XvfbServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }
  // Runs an X client of the system against this server ("xsetroot -solid red").
  bool run(const std::string& command) const {
    return std::system(("DISPLAY=" + display_ + " " + command + " >/dev/null 2>&1").c_str()) == 0;
  }

 private:
  void start(int number, std::string& screen) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    const std::string fd = std::to_string(fds[1]);
    // timeout(1) ends a server left behind by a crashed test.
    std::vector<std::string> args{"timeout", "600", "Xvfb", ":" + std::to_string(number), "-displayfd", fd, "-screen",
                                  "0", screen, "-nolisten", "tcp", "+extension", "MIT-SHM", "-noreset"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "timeout", &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string reported;
    if (pid > 0) {
      // The server writes its display number once it accepts clients; it exits without a word when the number is taken.
      char c;
      while (::read(fds[0], &c, 1) == 1 && c != '\n') reported += c;
    }
    ::close(fds[0]);
    if (reported.empty()) {
      if (pid > 0) ::waitpid(pid, nullptr, 0);
      return;
    }
    pid_ = pid;
    display_ = ":" + reported;
  }

  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace qztest
