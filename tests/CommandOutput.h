#pragma once
// A shell command's exit status and its output with its errors, for tests
// that check what a tool produced (ffprobe, ffmpeg, our own tools).
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace qztest {

struct CommandOutput {
  int status = -1;
  std::string text;
  // The exit code, or -1 when the command did not exit (a signal, no shell).
  int exitCode() const { return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
  bool succeeded() const { return exitCode() == 0; }
};

inline CommandOutput runCommand(const std::string& command) {
  CommandOutput out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return out;
  std::array<char, 4096> chunk{};
  size_t n = 0;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) out.text.append(chunk.data(), n);
  out.status = pclose(pipe);
  return out;
}

}  // namespace qztest
