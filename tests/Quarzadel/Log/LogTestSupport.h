#pragma once
// Scratch folders, environment, user defaults and file reading for the logging tests,
// and a real nginx that takes uploads.
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "CommandOutput.h"
#include "TestPaths.h"
#include "Eventually.h"
#include "Platform/Net/TcpListener.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Log/SessionLog.h"

extern char** environ;

namespace quarzadel::testing {

class ScopedTempDir {
 public:
  ScopedTempDir() {
    const auto root = std::filesystem::path(qztest::binaryDir()) / "test-tmp";
    std::filesystem::create_directories(root);
    std::string pattern = (root / "log-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScopedTempDir() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
    tzset();
  }
  ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_), tzset(); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class ScopedDefaults {
 public:
  ScopedDefaults() : previous_(platform::UserDefaults::standard()), defaults_(platform::UserDefaults::inMemory()) {
    platform::UserDefaults::setStandard(defaults_);
  }
  ~ScopedDefaults() { platform::UserDefaults::setStandard(previous_); }
  platform::UserDefaults* operator->() { return defaults_.get(); }

 private:
  std::shared_ptr<platform::UserDefaults> previous_;
  std::shared_ptr<platform::UserDefaults> defaults_;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<std::string> readLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code ignored;
  for (auto& entry : std::filesystem::directory_iterator(folder, ignored)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// What was written to the logs during a test: the shared session log's lines
// after its first (without their time) and the system log's entries.
class LogCapture {
 public:
  explicit LogCapture(const std::string& key = "pipeline") {
    SessionLog::shared()->startSession(key);
    SessionLog::shared()->flush();
    capture_.sink().clear();
  }
  ~LogCapture() { SessionLog::shared()->close(); }

  std::vector<std::string> sessionLines() {
    SessionLog::shared()->flush();
    std::vector<std::string> lines;
    auto files = filesIn(dir_.path() / "Quarzadel");
    if (files.size() != 1) return lines;
    auto all = readLines(files[0]);
    // Without the first line, and each line without its 23-character time and the blank after it.
    for (size_t k = 1; k < all.size(); ++k) lines.push_back(all[k].size() > 24 ? all[k].substr(24) : all[k]);
    return lines;
  }
  std::vector<platform::CapturingSystemLogSink::Entry> entries() { return capture_.sink().entries(); }
  void clearSystem() { capture_.sink().clear(); }

 private:
  ScopedTempDir dir_;
  ScopedEnv state_{"XDG_STATE_HOME", dir_.path().string()};
  platform::ScopedSystemLogCapture capture_;
};

// A real nginx on a loopback port that stores WebDAV PUTs under <dir>/store,
// accepting them under /zone/logs/ only with the right AccessKey header.
// Started with the test's own config, stopped by its process id.
class NginxServer {
 public:
  static constexpr const char* kAccessKey = "0a1b2c3d-4e5f-6a7b-8c9d0e1f2a3b-4c5d-6e7f";

  explicit NginxServer(std::filesystem::path dir) : dir_(std::move(dir)) {
    for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) start();
    if (pid_ <= 0) throw std::runtime_error("nginx did not start; see " + (dir_ / "error.log").string());
  }
  ~NginxServer() {
    if (pid_ > 0) ::kill(pid_, SIGTERM), ::waitpid(pid_, nullptr, 0);
  }

  uint16_t port() const { return port_; }
  std::filesystem::path store() const { return dir_ / "store"; }
  // The store URL with the key, for the "LogStoreURL" default.
  std::string storeURL(const std::string& key = kAccessKey) const {
    return "http://" + key + "@127.0.0.1:" + std::to_string(port_) + "/zone/logs/";
  }

 private:
  void start() {
    port_ = platform::TcpListener::make()->port();  // free again once the listener is gone
    std::filesystem::create_directories(store());
    for (auto sub : {"body", "proxy", "fastcgi", "uwsgi", "scgi"}) std::filesystem::create_directories(dir_ / sub);
    auto conf = dir_ / "nginx.conf";
    std::ofstream out(conf);
    std::string d = dir_.string();
    out << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "error_log " << d << "/error.log;\npid " << d << "/nginx.pid;\n"
        << "events { worker_connections 64; }\n"
        << "http {\n  access_log " << d << "/access.log;\n"
        << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
        << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
        << "  scgi_temp_path " << d << "/scgi;\n  client_max_body_size 64m;\n"
        << "  server {\n    listen 127.0.0.1:" << port_ << ";\n    root " << d << "/store;\n"
        << "    location /zone/logs/ {\n"
        << "      if ($http_accesskey != \"" << kAccessKey << "\") { return 403; }\n"
        << "      dav_methods PUT;\n      create_full_put_path on;\n      dav_access user:rw group:r all:r;\n"
        << "    }\n  }\n}\n";
    out.close();
    std::string prefix = d + "/";
    std::string confText = conf.string();
    const char* argv[] = {"nginx", "-p", prefix.c_str(), "-c", confText.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "nginx", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return;
    bool exited = false;  // the port was taken, or the config is bad
    const std::string probe = "bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port_) + "'";
    qztest::eventually(
        [&] { return (exited = ::waitpid(pid, nullptr, WNOHANG) == pid) || qztest::runCommand(probe).succeeded(); },
        std::chrono::seconds(5));
    if (!exited && qztest::runCommand(probe).succeeded()) pid_ = pid;
    else if (!exited) ::kill(pid, SIGTERM), ::waitpid(pid, nullptr, 0);
  }

  std::filesystem::path dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace quarzadel::testing
