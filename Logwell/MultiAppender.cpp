#include "Logwell/MultiAppender.h"

namespace logwell {

std::vector<std::shared_ptr<LWLoggerAppender>> MultiAppender::appenders() const {
  std::lock_guard lock(mutex_);
  return appenders_;
}

void MultiAppender::setAppenders(std::vector<std::shared_ptr<LWLoggerAppender>> appenders) {
  std::erase(appenders, nullptr);
  std::lock_guard lock(mutex_);
  appenders_ = std::move(appenders);
}

void MultiAppender::add(std::shared_ptr<LWLoggerAppender> appender) {
  if (!appender) return;
  std::lock_guard lock(mutex_);
  appenders_.push_back(std::move(appender));
}

// The list is copied first, so an appender may change the list without deadlock.
void MultiAppender::append(const LWLogger& logger, LWLogLevel level, LWMessage message, std::string_view file,
                           std::string_view function, int line) {
  for (const auto& appender : appenders()) appender->append(logger, level, message, file, function, line);
}

void MultiAppender::append(const LWLogger& logger, LWLogLevel level, std::string_view format,
                           const LWFormatArgument& argument, std::string_view file, std::string_view function,
                           int line) {
  for (const auto& appender : appenders()) appender->append(logger, level, format, argument, file, function, line);
}

}  // namespace logwell
