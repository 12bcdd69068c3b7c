#pragma once
// Records what a logger writes while it lives, then hands the logger back as it was.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Logwell/RecordingAppender.h"

namespace logwell::testing {

class ScopedLogCapture {
 public:
  // With a `level`, the logger writes from that level while captured.
  explicit ScopedLogCapture(LWLogger& logger, std::optional<LWLogLevel> level = std::nullopt)
      : logger_(logger), previousAppender_(logger.appender()), previousLevel_(logger.level()) {
    logger_.setAppender(recorder_);
    if (level) logger_.setLevel(*level);
  }
  ~ScopedLogCapture() {
    logger_.setAppender(previousAppender_);
    logger_.setLevel(previousLevel_);
  }
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  std::vector<std::string> messages(LWLogLevel level) const {
    std::vector<std::string> out;
    for (const auto& r : recorder_->snapshot())
      if (r.level == level) out.push_back(r.message);
    return out;
  }
  // The lines of that level as the applications print them.
  std::vector<std::string> lines(LWLogLevel level) const {
    std::vector<std::string> out;
    for (const auto& r : recorder_->snapshot())
      if (r.level == level) out.push_back(r.text);
    return out;
  }
  // The first message that contains `text`, or an empty text.
  std::string find(const std::string& text) const {
    for (const auto& r : recorder_->snapshot())
      if (r.message.find(text) != std::string::npos) return r.message;
    return {};
  }

 private:
  LWLogger& logger_;
  std::shared_ptr<RecordingAppender> recorder_ = std::make_shared<RecordingAppender>();
  std::shared_ptr<LWLoggerAppender> previousAppender_;
  LWLogLevel previousLevel_;
};

}  // namespace logwell::testing
