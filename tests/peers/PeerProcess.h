#pragma once
// A real peer (nginx with its RTMP module, stunnel, node-media-server) started
// by its script in tests/peers/ for as long as the object lives, and stopped by
// the same script (which ends the process by the id it recorded).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestPaths.h"

namespace rtmptest {

class PeerProcess {
 public:
  // Runs `<script> start <dir> <args...>`.
  PeerProcess(std::string script, std::filesystem::path dir, std::vector<std::string> args = {})
      : script_(std::filesystem::path(qztest::sourceDir()) / "tests" / "peers" / std::move(script)),
        dir_(std::move(dir)) {
    std::string command = "QZ_BINARY_DIR=" + quote(qztest::binaryDir()) + " " + quote(script_.string()) +
                          " start " + quote(dir_.string());
    for (const auto& a : args) command += " " + quote(a);
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
    ok_ = ::pclose(pipe) == 0;
  }
  // Stops the peer; its files go too unless QZ_KEEP_PEERS is set.
  ~PeerProcess() {
    const std::string command = quote(script_.string()) + " stop " + quote(dir_.string()) + " >/dev/null 2>&1";
    (void)std::system(command.c_str());
    const char* keep = std::getenv("QZ_KEEP_PEERS");
    std::error_code ignored;
    if (!keep || !*keep) std::filesystem::remove_all(dir_, ignored);
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool ok() const { return ok_ && values_.count("PORT"); }
  // What the script printed (its error, when it failed).
  const std::string& output() const { return output_; }
  std::string value(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
  }
  uint16_t port() const { return ok() ? static_cast<uint16_t>(std::stoi(value("PORT"))) : 0; }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  static std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }

  std::filesystem::path script_;
  std::filesystem::path dir_;
  bool ok_ = false;
  std::string output_;
  std::map<std::string, std::string> values_;
};

// A fresh directory for a peer's files under the build tree.
inline std::filesystem::path peerDirectory(const std::string& name) {
  auto dir = std::filesystem::path(qztest::binaryDir()) / "peers" / "runs" /
             (name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace rtmptest
