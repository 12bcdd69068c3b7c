#pragma once
// Hands each record to every appender of its list, in list order, on the
// logging thread.
#include <memory>
#include <mutex>
#include <vector>

#include "Logwell/LWLoggerAppender.h"

namespace logwell {

class MultiAppender : public LWLoggerAppender {
 public:
  MultiAppender() = default;

  std::vector<std::shared_ptr<LWLoggerAppender>> appenders() const;
  void setAppenders(std::vector<std::shared_ptr<LWLoggerAppender>> appenders);
  void add(std::shared_ptr<LWLoggerAppender> appender);

  void append(const LWLogger& logger, LWLogLevel level, LWMessage message, std::string_view file,
              std::string_view function, int line) override;
  void append(const LWLogger& logger, LWLogLevel level, std::string_view format, const LWFormatArgument& argument,
              std::string_view file, std::string_view function, int line) override;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<LWLoggerAppender>> appenders_;
};

}  // namespace logwell
