#include "Quarzadel/Studio/RevealFile.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <iostream>
#include <thread>

extern char** environ;

namespace quarzadel {

bool hasDesktopSession() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    if (const char* value = std::getenv(name); value && *value) return true;
  }
  return false;
}

namespace {

void openWithDesktop(const std::filesystem::path& folder) {
  std::string program = "xdg-open";
  std::string argument = folder.string();
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t child = 0;
  if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv, environ) != 0) return;
  // Reaped in the background: the opener may outlive the call.
  std::thread([child] {
    int status = 0;
    waitpid(child, &status, 0);
  }).detach();
}

}  // namespace

void revealFile(const std::filesystem::path& file, const std::function<void(const std::filesystem::path&)>& open) {
  const auto folder = file.parent_path();
  std::cout << folder.string() << std::endl;
  if (!hasDesktopSession()) return;
  if (open) {
    open(folder);
  } else {
    openWithDesktop(folder);
  }
}

}  // namespace quarzadel
