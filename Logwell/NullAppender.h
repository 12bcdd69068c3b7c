#pragma once
// Drops every record.
#include <memory>

#include "Logwell/LWLoggerAppender.h"

namespace logwell {

class NullAppender : public LWLoggerAppender {
 public:
  static std::shared_ptr<NullAppender> shared() {
    static const auto instance = std::make_shared<NullAppender>();
    return instance;
  }
  void append(const LWLogger&, LWLogLevel, LWMessage, std::string_view, std::string_view, int) override {}
  void append(const LWLogger&, LWLogLevel, std::string_view, const LWFormatArgument&, std::string_view,
              std::string_view, int) override {}
};

}  // namespace logwell
