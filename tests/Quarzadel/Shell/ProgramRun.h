#pragma once
// The quarzadel program run as a script runs it: its own scratch folders for
// defaults, session logs and copies, standard output read line by line with
// each line's arrival time, standard error kept, signals sent by its id.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "TestPaths.h"

namespace qztest {

inline std::filesystem::path programPath() { return std::filesystem::path(binaryDir()) / "Quarzadel" / "quarzadel"; }

// A fresh scratch folder under the build tree.
inline std::filesystem::path scratch(const std::string& name) {
  auto dir = std::filesystem::path(binaryDir()) / "shell-runs" / (name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

class ProgramRun {
 public:
  using Clock = std::chrono::steady_clock;
  struct Line {
    double at;  // seconds since the start
    std::string text;
  };

  // A `launcher` command, when given, runs the program with its arguments after its own
  // (e.g. to give it a mount namespace of its own).
  ProgramRun(const std::filesystem::path& dir, const std::vector<std::string>& arguments,
             std::map<std::string, std::string> environment = {}, std::vector<std::string> launcher = {})
      : dir_(dir), began_(Clock::now()) {
    int out[2];
    if (::pipe(out) != 0) return;
    environment.emplace("XDG_CONFIG_HOME", (dir / "config").string());
    environment.emplace("XDG_STATE_HOME", (dir / "state").string());
    environment.emplace("XDG_VIDEOS_DIR", (dir / "videos").string());
    const std::string errors = (dir / "stderr.txt").string();
    pid_ = ::fork();
    if (pid_ == 0) {
      for (const auto& [k, v] : environment) ::setenv(k.c_str(), v.c_str(), 1);
      ::dup2(out[1], STDOUT_FILENO);
      const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, STDERR_FILENO);
      const int null = ::open("/dev/null", O_RDONLY);
      ::dup2(null, STDIN_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<std::string> args = launcher;
      args.push_back(programPath().string());
      args.insert(args.end(), arguments.begin(), arguments.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    reader_ = std::thread([this, fd = out[0]] {
      std::string pending;
      char buffer[8192];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
          std::lock_guard guard(lock_);
          lines_.push_back({seconds(), pending.substr(0, end)});
          pending.erase(0, end + 1);
        }
      }
      ::close(fd);
    });
  }
  ~ProgramRun() {
    if (pid_ > 0 && status_ < 0) ::kill(pid_, SIGKILL), wait();
    if (reader_.joinable()) reader_.join();
  }

  double seconds() const { return std::chrono::duration<double>(Clock::now() - began_).count(); }
  void sleepUntil(double s) const { std::this_thread::sleep_until(began_ + std::chrono::duration<double>(s)); }
  void signal(int number) const { ::kill(pid_, number); }
  pid_t pid() const { return pid_; }
  // The exit status (or 128 + the signal); waits at most `bound` seconds, then kills.
  int wait(double bound = 120) {
    if (status_ >= 0) return status_;
    const double until = seconds() + bound;
    int raw = 0;
    while (::waitpid(pid_, &raw, WNOHANG) == 0) {
      if (seconds() > until) ::kill(pid_, SIGKILL);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    endedAt_ = seconds();
    if (reader_.joinable()) reader_.join();
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status_;
  }
  double endedAt() const { return endedAt_; }

  std::vector<Line> lines() {
    std::lock_guard guard(lock_);
    return lines_;
  }
  // The JSON lines, each with its arrival time.
  std::vector<std::pair<double, nlohmann::json>> events() {
    std::vector<std::pair<double, nlohmann::json>> out;
    for (const auto& l : lines()) {
      auto v = nlohmann::json::parse(l.text, nullptr, false);
      if (!v.is_discarded()) out.emplace_back(l.at, v);
    }
    return out;
  }
  // The arrival time of the first JSON event for which `match` holds, or -1.
  template <class F>
  double firstEvent(F match) {
    for (const auto& [at, e] : events())
      if (match(e)) return at;
    return -1;
  }
  // Waits up to `bound` seconds for such an event.
  template <class F>
  double awaitEvent(F match, double bound) {
    const double until = seconds() + bound;
    for (double at; seconds() < until; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
      if ((at = firstEvent(match)) >= 0) return at;
    return -1;
  }
  // The statuses in the order they were published.
  std::vector<std::string> statuses() {
    std::vector<std::string> out;
    for (const auto& [at, e] : events())
      if (e["event"] == "status") out.push_back(e["status"]);
    return out;
  }
  std::string errors() const { return text(dir_ / "stderr.txt"); }
  // The session logs written, all in one text.
  std::string sessionLogs() const { return sessionLogsIn(dir_); }
  static std::string sessionLogsIn(const std::filesystem::path& dir) {
    std::string all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "state", ec))
      if (entry.path().extension() == ".log") all += text(entry.path());
    return all;
  }
  static std::string text(const std::filesystem::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

 private:
  std::filesystem::path dir_;
  Clock::time_point began_;
  pid_t pid_ = -1;
  int status_ = -1;
  double endedAt_ = 0;
  std::thread reader_;
  std::mutex lock_;
  std::vector<Line> lines_;
};

}  // namespace qztest
