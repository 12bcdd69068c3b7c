#include "Platform/Files/Folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace platform {

namespace fs = std::filesystem;

namespace {

// An absolute value of the variable, or empty (unset, empty or relative values
// are ignored, as the base-directory convention asks).
fs::path absoluteEnv(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return {};
  fs::path p(value);
  return p.is_absolute() ? p : fs::path();
}

fs::path orDefault(const char* variable, const char* relativeToHome) {
  fs::path p = absoluteEnv(variable);
  return p.empty() ? Folders::home() / relativeToHome : p;
}

fs::path userDir(const char* name, const char* fallback) {
  if (fs::path p = absoluteEnv(name); !p.empty()) return p;
  std::ifstream in(Folders::config() / "user-dirs.dirs");
  if (in) {
    std::stringstream text;
    text << in.rdbuf();
    fs::path p = Folders::parseUserDir(text.str(), name, Folders::home());
    // "$HOME/" alone means the feature is disabled; use the usual folder then.
    if (!p.empty() && p != Folders::home()) return p;
  }
  return Folders::home() / fallback;
}

}  // namespace

fs::path Folders::home() {
  if (fs::path p = absoluteEnv("HOME"); !p.empty()) return p;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir && *result->pw_dir)
    return fs::path(result->pw_dir);
  return fs::path("/tmp");
}

fs::path Folders::config() { return orDefault("XDG_CONFIG_HOME", ".config"); }
fs::path Folders::applicationSupport() { return orDefault("XDG_DATA_HOME", ".local/share"); }
fs::path Folders::logs() { return orDefault("XDG_STATE_HOME", ".local/state"); }
fs::path Folders::caches() { return orDefault("XDG_CACHE_HOME", ".cache"); }
fs::path Folders::videos() { return userDir("XDG_VIDEOS_DIR", "Videos"); }
fs::path Folders::downloads() { return userDir("XDG_DOWNLOAD_DIR", "Downloads"); }

bool Folders::create(const fs::path& folder, std::error_code& error) {
  error.clear();
  fs::create_directories(folder, error);
  if (error) return false;
  if (!fs::is_directory(folder, error)) {
    if (!error) error = std::make_error_code(std::errc::not_a_directory);
    return false;
  }
  return true;
}

bool Folders::create(const fs::path& folder) {
  std::error_code error;
  return create(folder, error);
}

fs::path Folders::parseUserDir(const std::string& text, const std::string& name, const fs::path& home) {
  std::istringstream lines(text);
  std::string line;
  fs::path found;
  while (std::getline(lines, line)) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#') continue;
    if (line.compare(i, name.size(), name) != 0) continue;
    i += name.size();
    if (i >= line.size() || line[i] != '=') continue;
    ++i;
    if (i >= line.size() || line[i] != '"') continue;
    // Up to the closing quote; a backslash escapes the next character.
    std::string unescaped;
    bool closed = false;
    for (size_t k = i + 1; k < line.size(); ++k) {
      if (line[k] == '\\' && k + 1 < line.size()) {
        unescaped.push_back(line[++k]);
      } else if (line[k] == '"') {
        closed = true;
        break;
      } else {
        unescaped.push_back(line[k]);
      }
    }
    if (!closed) continue;
    // Only "$HOME/..." and absolute paths are valid.
    if (unescaped == "$HOME") {
      found = home;
    } else if (unescaped.rfind("$HOME/", 0) == 0) {
      std::string rest = unescaped.substr(6);
      found = rest.empty() ? home : home / rest;
    } else if (!unescaped.empty() && unescaped[0] == '/') {
      found = fs::path(unescaped);
    } else {
      continue;
    }
    // The last valid assignment wins, as when the file is sourced by a shell.
  }
  return found;
}

}  // namespace platform
