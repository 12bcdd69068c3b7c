#pragma once
// Scratch folders, environment, user defaults and file reading for the logging tests.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Platform/Defaults/UserDefaults.h"

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

}  // namespace quarzadel::testing
