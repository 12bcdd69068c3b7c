#include "Quarzadel/Log/MedleyLogging.h"

#include <cctype>

#include "Logwell/LWLogger.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Quarzadel/Log/Log.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace quarzadel {
namespace {
// The catalogue's own source file: bridged lines carry the category "Log".
constexpr std::string_view kCatalogueFile = "Quarzadel/Log/Log.cpp";
}  // namespace

std::string capitalized(std::string_view text) {
  std::string out(text);
  bool wordStart = true;
  for (char& c : out) {
    auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || u >= 0x80) {
      c = static_cast<char>(wordStart ? std::toupper(u) : std::tolower(u));
      wordStart = false;
    } else {
      wordStart = true;
    }
  }
  return out;
}

logwell::LWLogLevel MedleyLogging::level(const std::optional<std::string>& setting) {
  return logwell::levelFromString(capitalized(setting.value_or("info"))).value_or(logwell::LWLogLevel::info);
}

void MedleyLogging::install() {
  auto chosen = level(platform::UserDefaults::standard()->string("MedleyLogLevel"));
  for (const auto& identifier : {medley::medleyIdentifier(), rtmpmedley::rtmpMedleyIdentifier()}) {
    auto logger = logwell::LWLogger::with(identifier);
    logger->setLevel(chosen);
    logger->setAppender(std::make_shared<Appender>());
  }
}

void MedleyLogging::Appender::appendLine(logwell::LWLogLevel level, const std::string& message,
                                         std::string_view file, int line) {
  std::string text = "[Medley " + std::string(logwell::LWLogRecord::fileName(file)) + ":" + std::to_string(line) +
                     "] " + message;
  switch (level) {
    case logwell::LWLogLevel::info:
      Log::write(kCatalogueFile, text, platform::LogType::info, "INFO");
      break;
    case logwell::LWLogLevel::warn:
      Log::write(kCatalogueFile, text, platform::LogType::error, "WARN");
      break;
    case logwell::LWLogLevel::error:
      Log::write(kCatalogueFile, text, platform::LogType::error, "ERROR");
      break;
    case logwell::LWLogLevel::trace:
    case logwell::LWLogLevel::debug:
      if (Log::logger().isEnabled(platform::LogType::debug)) Log::logger().debug(text);
      break;
  }
}

void MedleyLogging::Appender::append(const logwell::LWLogger&, logwell::LWLogLevel level, logwell::LWMessage message,
                                     std::string_view file, std::string_view, int line) {
  appendLine(level, logwell::joinMessage(message, " "), file, line);
}

void MedleyLogging::Appender::append(const logwell::LWLogger&, logwell::LWLogLevel level, std::string_view format,
                                     const logwell::LWFormatArgument& argument, std::string_view file,
                                     std::string_view, int line) {
  appendLine(level, logwell::formatMessage(format, argument), file, line);
}

}  // namespace quarzadel
