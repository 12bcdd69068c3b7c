#include "Logwell/LWLogger.h"

#include <map>

#include "Logwell/ConsoleAppender.h"

namespace logwell {

LWLogger::LWLogger(std::string identifier)
    : identifier_(std::move(identifier)), appender_(std::make_shared<ConsoleAppender>()) {}

std::shared_ptr<LWLogger> LWLogger::with(const std::string& identifier) {
  // Never pruned, never destroyed: registered loggers live for the process, as
  // threads the runtime does not stop (network, capture, sound) may log until
  // its end.
  static std::mutex mutex;
  static auto* registry = new std::map<std::string, std::shared_ptr<LWLogger>, std::less<>>();
  std::lock_guard lock(mutex);
  auto found = registry->find(identifier);
  if (found == registry->end()) found = registry->emplace(identifier, std::make_shared<LWLogger>(identifier)).first;
  return found->second;
}

std::shared_ptr<LWLoggerAppender> LWLogger::appender() const {
  std::lock_guard lock(appenderMutex_);
  return appender_;
}

void LWLogger::setAppender(std::shared_ptr<LWLoggerAppender> appender) {
  if (!appender) return;
  std::lock_guard lock(appenderMutex_);
  appender_ = std::move(appender);
}

void LWLogger::log(Level level, LWMessage message, std::string_view file, std::string_view function, int line) {
  if (!isEnabledFor(level)) return;
  // The appender is read once and kept alive for the call, even if it is replaced meanwhile.
  auto sink = appender();
  sink->append(*this, level, message, file, function, line);
}

void LWLogger::log(Level level, std::string_view format, const LWFormatArgument& argument, std::string_view file,
                   std::string_view function, int line) {
  if (!isEnabledFor(level)) return;
  auto sink = appender();
  sink->append(*this, level, format, argument, file, function, line);
}

}  // namespace logwell
