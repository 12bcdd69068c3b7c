// The camera's log lines for the static build of vividcheck, printed to standard
// output: the session log and its upload are not linked into it.
#include <cstdio>
#include <string>

#include "Quarzadel/Log/Log.h"

namespace quarzadel {

namespace {
void print(const char* level, const std::string& message) { std::printf("[%s] [CameraCapture] %s\n", level, message.c_str()); }
}  // namespace

const platform::SystemLogger& Log::logger() {
  static const platform::SystemLogger logger("quarzadel.mac", "app");
  return logger;
}

void Log::cameraStarted(std::string_view name, std::string_view summary, std::string_view) {
  print("INFO", "Camera started: " + std::string(name) + " [" + std::string(summary) + "]");
}

void Log::cameraReconfigured(std::string_view name, std::string_view summary, std::string_view) {
  print("INFO", "Camera " + std::string(name) + " reconfigured: " + std::string(summary));
}

void Log::cameraFailure(std::string_view reason, std::string_view) {
  print("WARN", "Camera failure: " + std::string(reason));
}

void Log::cameraSessionInterrupted(const std::optional<std::string>& name, std::string_view) {
  print("WARN", "Camera session interrupted: " + name.value_or("?"));
}

}  // namespace quarzadel
