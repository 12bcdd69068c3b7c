#pragma once
// The user's standard folders, after the XDG base-directory and user-dirs
// conventions. Every lookup reads the environment anew, so tests point HOME or the
// XDG_* variables at a scratch directory. Relative XDG values are ignored.
#include <filesystem>
#include <system_error>

namespace platform {

class Folders {
 public:
  // $HOME, else the password database's home directory.
  static std::filesystem::path home();
  // $XDG_CONFIG_HOME or ~/.config.
  static std::filesystem::path config();
  // $XDG_DATA_HOME or ~/.local/share (application support).
  static std::filesystem::path applicationSupport();
  // $XDG_STATE_HOME or ~/.local/state (where logs belong).
  static std::filesystem::path logs();
  // $XDG_CACHE_HOME or ~/.cache.
  static std::filesystem::path caches();
  // XDG_VIDEOS_DIR (environment, then config()/user-dirs.dirs), or ~/Videos.
  static std::filesystem::path videos();
  // XDG_DOWNLOAD_DIR (environment, then config()/user-dirs.dirs), or ~/Downloads.
  static std::filesystem::path downloads();

  // Creates the folder and its parents. True when it exists as a folder afterwards.
  static bool create(const std::filesystem::path& folder, std::error_code& error);
  static bool create(const std::filesystem::path& folder);

  // The value of `name` in a user-dirs.dirs text: `NAME="$HOME/sub"` or an absolute
  // path; empty when absent or malformed.
  static std::filesystem::path parseUserDir(const std::string& text, const std::string& name,
                                            const std::filesystem::path& home);
};

}  // namespace platform
