#pragma once
// A private sound server (tests/peers/pulseaudio.sh) for as long as the object
// lives: its socket, its null sink and that sink's monitor. Stopped by the same
// script, by the id it recorded. A test that cannot start one skips with the
// script's message (QZ_SKIP_UNLESS_PULSEAUDIO).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TestPaths.h"

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

}  // namespace qztest

// Skips the test, with the script's message, when no daemon could be started.
#define QZ_SKIP_UNLESS_PULSEAUDIO(peer) \
  if (!(peer).ok()) GTEST_SKIP() << "no private pulseaudio daemon: " << (peer).output()
