#pragma once
// A private message bus for one test: dbus-daemon with a configuration of our
// own (anyone may own any name and send anything, descriptors included),
// listening on a fresh socket in /tmp, and stopped by its process id.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

extern char** environ;

namespace qztest {

class PrivateBus {
 public:
  // `folder` takes the configuration file and the daemon's log.
  explicit PrivateBus(const std::filesystem::path& folder) {
    const auto config = folder / "bus.conf";
    std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:dir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // Its complaints (e.g. about the descriptor limit) go to a file beside the configuration.
    const std::string log = (folder / "bus.log").string();
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string configArgument = "--config-file=" + config.string();
    const char* argv[] = {"dbus-daemon", "--nofork", "--nopidfile", "--print-address", configArgument.c_str(), nullptr};
    if (posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (pid_ > 0) address_ = readLine(out[0]);
    ::close(out[0]);
  }
  ~PrivateBus() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool ok() const { return pid_ > 0 && !address_.empty(); }
  // The address clients connect to, e.g. "unix:path=/tmp/dbus-Ab12Cd34,guid=...".
  const std::string& address() const { return address_; }

 private:
  // The daemon's first output line; empty when it says nothing within 10 s.
  static std::string readLine(int fd) {
    std::string line;
    char c;
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10'000) <= 0 || ::read(fd, &c, 1) != 1) return {};
      if (c == '\n') return line;
      line.push_back(c);
    }
  }

  pid_t pid_ = -1;
  std::string address_;
};

}  // namespace qztest
