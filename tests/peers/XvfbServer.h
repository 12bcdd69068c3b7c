#pragma once
// A virtual X server (Xvfb, with shared memory) on a display number it picks
// itself, for as long as the object lives; stopped by its process id.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
    int fds[2];
    if (::pipe(fds) != 0) return;
    const std::string fd = std::to_string(fds[1]);
    // timeout(1) ends a server left behind by a crashed test.
    std::vector<std::string> args{"timeout", "600", "Xvfb", "-displayfd", fd, "-screen", "0", screen,
                                  "-nolisten", "tcp", "+extension", "MIT-SHM", "-noreset"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, "timeout", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (pid_ > 0) {
      // The server writes its display number once it accepts clients.
      std::string number;
      char c;
      while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
      if (!number.empty()) display_ = ":" + number;
    }
    ::close(fds[0]);
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
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace qztest
