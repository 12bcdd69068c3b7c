#pragma once
// The sink of a logger. Appenders are called on the logging thread and guard
// their own state.
#include <string_view>

#include "Logwell/LWFormatArgument.h"
#include "Logwell/LWLogItem.h"
#include "Logwell/LWLogLevel.h"

namespace logwell {

class LWLogger;

class LWLoggerAppender {
 public:
  virtual ~LWLoggerAppender() = default;
  // A message list: the items in order.
  virtual void append(const LWLogger& logger, LWLogLevel level, LWMessage message, std::string_view file,
                      std::string_view function, int line) = 0;
  // A printf-style format with its one argument.
  virtual void append(const LWLogger& logger, LWLogLevel level, std::string_view format,
                      const LWFormatArgument& argument, std::string_view file, std::string_view function,
                      int line) = 0;
};

}  // namespace logwell
