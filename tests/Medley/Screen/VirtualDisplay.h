#pragma once
// A virtual X display of the test's own (Xvfb on a display number of its
// own), ended with the test.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qztest {

class VirtualDisplay {
 public:
  VirtualDisplay() {
    number_ = 90 + getpid() % 500;
    display_ = ":" + std::to_string(number_);
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number_);
    std::vector<std::string> args = {"Xvfb", display_, "-screen", "0", "800x600x24", "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "Xvfb", nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
    for (int i = 0; pid_ && i < 100; ++i) {
      struct stat st;
      if (stat(socket.c_str(), &st) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // waiting for a process to start, not for time
    }
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  bool isRunning() const { return pid_ > 0; }
  const std::string& name() const { return display_; }

 private:
  int number_ = 0;
  pid_t pid_ = 0;
  std::string display_;
};

}  // namespace qztest
