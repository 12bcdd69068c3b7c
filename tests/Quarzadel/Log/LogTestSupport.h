#pragma once
// Scratch folders, environment, user defaults and file reading for the logging tests,
// and a real nginx that takes uploads.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Log/SessionLog.h"

extern char** environ;

namespace quarzadel::testing {

class ScopedTempDir {
 public:
  ScopedTempDir() {
    const char* base = std::getenv("QZ_BINARY_DIR");
    auto root = base ? std::filesystem::path(base) / "test-tmp" : std::filesystem::temp_directory_path();
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
  ~ScopedEnv() {
    old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_);
    tzset();
  }

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
  platform::UserDefaults& operator*() { return *defaults_; }
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
  std::istringstream in(readFile(path));
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

// A session-log line without its 23-character time and the blank after it.
inline std::string withoutTime(const std::string& line) { return line.size() > 24 ? line.substr(24) : line; }

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
    for (size_t k = 1; k < all.size(); ++k) lines.push_back(withoutTime(all[k]));
    return lines;
  }
  std::vector<platform::CapturingSystemLogSink::Entry> entries() { return capture_.sink().entries(); }
  void clearSystem() { capture_.sink().clear(); }
  // The system log's messages at one type.
  std::vector<std::string> system(platform::LogType type) {
    std::vector<std::string> messages;
    for (const auto& e : capture_.sink().entries())
      if (e.type == type) messages.push_back(e.message);
    return messages;
  }

 private:
  ScopedTempDir dir_;
  ScopedEnv state_{"XDG_STATE_HOME", dir_.path().string()};
  platform::ScopedSystemLogCapture capture_;
};

inline uint16_t freeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

inline bool acceptsConnections(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

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
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  uint16_t port() const { return port_; }
  std::filesystem::path store() const { return dir_ / "store"; }
  // The store URL with the key, for the "LogStoreURL" default.
  std::string storeURL(const std::string& key = kAccessKey) const {
    return "http://" + key + "@127.0.0.1:" + std::to_string(port_) + "/zone/logs/";
  }
  // A location that refuses PUT (405).
  std::string readOnlyURL() const { return "http://" + std::string(kAccessKey) + "@127.0.0.1:" + std::to_string(port_) + "/static/logs/"; }

 private:
  void start() {
    port_ = freeLoopbackPort();
    std::filesystem::create_directories(store() / "static" / "logs");
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
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) return;  // exited: port taken or bad config
      if (acceptsConnections(port_)) {
        pid_ = pid;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }

  std::filesystem::path dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace quarzadel::testing
