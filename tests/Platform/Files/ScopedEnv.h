#pragma once
// Environment variables set for one test and restored after; scratch folders.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::testing {

class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  }
  void set(const std::string& name, const std::string& value) {
    remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string& name) {
    remember(name);
    ::unsetenv(name.c_str());
  }

 private:
  void remember(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    if (!saved_.count(name)) saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

// A fresh, empty folder under the build tree (or /tmp), removed when the test process exits.
inline std::filesystem::path scratchDirectory(const std::string& name) {
  static struct Cleanup {
    std::vector<std::filesystem::path> dirs;
    ~Cleanup() {
      std::error_code ignored;
      for (const auto& d : dirs) std::filesystem::remove_all(d, ignored);
    }
  } cleanup;
  const char* base = std::getenv("QZ_BINARY_DIR");
  auto dir = std::filesystem::path(base && *base ? base : "/tmp") / "test-scratch" / (name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  cleanup.dirs.push_back(dir);
  return dir;
}

}  // namespace platform::testing
