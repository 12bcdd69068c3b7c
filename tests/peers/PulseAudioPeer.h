#pragma once
// A private sound server (tests/peers/pulseaudio.sh) for as long as the object
// lives: its socket, its null sink and that sink's monitor. Stopped by the same
// script, by the id it recorded. A test that cannot start one skips with the
// script's message (QZ_SKIP_UNLESS_PULSEAUDIO).
#include <unistd.h>
#include <sys/wait.h>
#include <spawn.h>
#include <signal.h>
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TestPaths.h"

extern char** environ;

namespace qztest {

class PulseAudioPeer {
 public:
  // Extra modules, each one "-L" argument of the daemon, e.g. "module-sine-source rate=48000".
  explicit PulseAudioPeer(std::vector<std::string> modules = {})
      : script_(std::filesystem::path(sourceDir()) / "tests" / "peers" / "pulseaudio.sh") {
    dir_ = std::filesystem::path(binaryDir()) / "peers" / "runs" /
           ("pulseaudio-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::string command = quote(script_.string()) + " start " + quote(dir_.string());
    for (const auto& m : modules) command += " " + quote(m);
    command += " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
      std::string text(line);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      output_ += text + "\n";
      const auto eq = text.find('=');
      if (eq != std::string::npos) values_[text.substr(0, eq)] = text.substr(eq + 1);
    }
    ok_ = ::pclose(pipe) == 0 && values_.count("SERVER");
  }
  ~PulseAudioPeer() { stop(); }
  PulseAudioPeer(const PulseAudioPeer&) = delete;
  PulseAudioPeer& operator=(const PulseAudioPeer&) = delete;

  // Stops the daemon now (its files go when the object does, unless QZ_KEEP_PEERS is set).
  void stop() {
    if (stopped_) return;
    stopped_ = true;
    const std::string command = quote(script_.string()) + " stop " + quote(dir_.string()) + " >/dev/null 2>&1";
    (void)std::system(command.c_str());
    const char* keep = std::getenv("QZ_KEEP_PEERS");
    std::error_code ignored;
    if (!keep || !*keep) std::filesystem::remove_all(dir_, ignored);
  }

  bool ok() const { return ok_; }
  const std::string& output() const { return output_; }
  // "unix:<socket>", for PULSE_SERVER or PulseAudioContext::Options::server.
  std::string server() const { return value("SERVER"); }
  std::string sink() const { return value("SINK"); }
  std::string monitor() const { return value("MONITOR"); }
  const std::filesystem::path& dir() const { return dir_; }
  std::string value(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
  }

  // "PULSE_SERVER='…' " to put before a command of pulseaudio-utils.
  std::string environment() const { return "PULSE_SERVER=" + quote(server()) + " "; }

  static std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }

  std::filesystem::path script_;
  std::filesystem::path dir_;
  bool ok_ = false;
  bool stopped_ = false;
  std::string output_;
  std::map<std::string, std::string> values_;
};


// parec of the sink's monitor into a raw file (s16le, 48 kHz, stereo) while the object lives.
class MonitorCapture {
 public:
  MonitorCapture(const PulseAudioPeer& peer, const std::filesystem::path& file) {
    const std::string server = "PULSE_SERVER=" + peer.server();
    std::vector<std::string> args{"parec", "--device=" + peer.monitor(), "--raw", "--format=s16le",
                                  "--rate=48000", "--channels=2", "--latency-msec=20"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> env{const_cast<char*>(server.c_str())};
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("PULSE_SERVER=", 0) != 0) env.push_back(*e);
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ok_ = posix_spawnp(&pid_, "parec", &actions, nullptr, argv.data(), env.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~MonitorCapture() { stop(); }
  bool ok() const { return ok_; }
  void stop() {
    if (!ok_ || stopped_) return;
    stopped_ = true;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_ = 0;
  bool ok_ = false;
  bool stopped_ = false;
};

// A shell command's output with its errors.
inline std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return out;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) out += line;
  ::pclose(pipe);
  return out;
}

}  // namespace qztest

// Skips the test, with the script's message, when no daemon could be started.
#define QZ_SKIP_UNLESS_PULSEAUDIO(peer) \
  if (!(peer).ok()) GTEST_SKIP() << "no private pulseaudio daemon: " << (peer).output()
