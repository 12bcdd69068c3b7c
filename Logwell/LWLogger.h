#pragma once
// A named logger with a threshold level and one pluggable appender. Loggers are
// found by identifier in a process-wide registry, so a library keeps one logger
// per module and the application can change its level and appender from outside.
//
// Level, appender and registry may be used from any thread.
//
// Message-list form:   logger->info({"connect ", url}, __FILE__, __func__, __LINE__);
// With the macros:     LW_INFO(logger, "connect ", url);   // items built only when enabled
// Format form:         logger->info("took %.2f s", seconds, __FILE__, __func__, __LINE__);
#include <atomic>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "Logwell/LWFormatArgument.h"
#include "Logwell/LWLogItem.h"
#include "Logwell/LWLogLevel.h"
#include "Logwell/LWLogRecord.h"
#include "Logwell/LWLoggerAppender.h"

namespace logwell {

class LWLogger {
 public:
  using Level = LWLogLevel;
  using Data = LWLogRecord;
  using Items = std::initializer_list<LWLogItem>;

  // Level info, a new console appender; not registered.
  explicit LWLogger(std::string identifier);
  virtual ~LWLogger() = default;
  LWLogger(const LWLogger&) = delete;
  LWLogger& operator=(const LWLogger&) = delete;

  // The registered logger of the identifier, made and registered on first use.
  static std::shared_ptr<LWLogger> with(const std::string& identifier);

  const std::string& identifier() const { return identifier_; }

  Level level() const { return level_.load(std::memory_order_relaxed); }
  void setLevel(Level level) { level_.store(level, std::memory_order_relaxed); }

  std::shared_ptr<LWLoggerAppender> appender() const;
  // A null appender is ignored.
  void setAppender(std::shared_ptr<LWLoggerAppender> appender);

  // True when the logger's level is at or below the given one.
  virtual bool isEnabledFor(Level level) const { return this->level() <= level; }

  // Hands the record to the appender when its level passes; nothing is formatted otherwise.
  virtual void log(Level level, LWMessage message, std::string_view file, std::string_view function, int line);
  virtual void log(Level level, std::string_view format, const LWFormatArgument& argument, std::string_view file,
                   std::string_view function, int line);
  void log(Level level, Items items, std::string_view file, std::string_view function, int line) {
    log(level, LWMessage(items.begin(), items.size()), file, function, line);
  }

  void trace(Items m, std::string_view file, std::string_view function, int line) { log(Level::trace, m, file, function, line); }
  void debug(Items m, std::string_view file, std::string_view function, int line) { log(Level::debug, m, file, function, line); }
  void info(Items m, std::string_view file, std::string_view function, int line) { log(Level::info, m, file, function, line); }
  void warn(Items m, std::string_view file, std::string_view function, int line) { log(Level::warn, m, file, function, line); }
  void error(Items m, std::string_view file, std::string_view function, int line) { log(Level::error, m, file, function, line); }

  void trace(std::string_view format, const LWFormatArgument& argument, std::string_view file, std::string_view function, int line) {
    log(Level::trace, format, argument, file, function, line);
  }
  void debug(std::string_view format, const LWFormatArgument& argument, std::string_view file, std::string_view function, int line) {
    log(Level::debug, format, argument, file, function, line);
  }
  void info(std::string_view format, const LWFormatArgument& argument, std::string_view file, std::string_view function, int line) {
    log(Level::info, format, argument, file, function, line);
  }
  void warn(std::string_view format, const LWFormatArgument& argument, std::string_view file, std::string_view function, int line) {
    log(Level::warn, format, argument, file, function, line);
  }
  void error(std::string_view format, const LWFormatArgument& argument, std::string_view file, std::string_view function, int line) {
    log(Level::error, format, argument, file, function, line);
  }

 private:
  const std::string identifier_;
  std::atomic<Level> level_{Level::info};
  mutable std::mutex appenderMutex_;
  std::shared_ptr<LWLoggerAppender> appender_;
};

namespace detail {
inline LWLogger& loggerRef(LWLogger& logger) { return logger; }
inline LWLogger& loggerRef(LWLogger* logger) { return *logger; }
inline LWLogger& loggerRef(const std::shared_ptr<LWLogger>& logger) { return *logger; }
}  // namespace detail

}  // namespace logwell

// Log with the caller's file, function and line; the items are built only when
// the level passes.
#define LW_LOG(logger, level, ...)                                                       \
  do {                                                                                   \
    ::logwell::LWLogger& lw_logger_ = ::logwell::detail::loggerRef(logger);              \
    if (lw_logger_.isEnabledFor(level))                                                  \
      lw_logger_.log(level, ::logwell::LWLogger::Items{__VA_ARGS__}, __FILE__, __func__, \
                     __LINE__);                                                          \
  } while (0)
#define LW_TRACE(logger, ...) LW_LOG(logger, ::logwell::LWLogLevel::trace, __VA_ARGS__)
#define LW_DEBUG(logger, ...) LW_LOG(logger, ::logwell::LWLogLevel::debug, __VA_ARGS__)
#define LW_INFO(logger, ...) LW_LOG(logger, ::logwell::LWLogLevel::info, __VA_ARGS__)
#define LW_WARN(logger, ...) LW_LOG(logger, ::logwell::LWLogLevel::warn, __VA_ARGS__)
#define LW_ERROR(logger, ...) LW_LOG(logger, ::logwell::LWLogLevel::error, __VA_ARGS__)

// Format form: LW_LOGF(logger, level, "took %.2f s", seconds).
#define LW_LOGF(logger, level, format, argument)                                           \
  do {                                                                                     \
    ::logwell::LWLogger& lw_logger_ = ::logwell::detail::loggerRef(logger);                \
    if (lw_logger_.isEnabledFor(level))                                                    \
      lw_logger_.log(level, format, ::logwell::LWFormatArgument(argument), __FILE__, __func__, __LINE__); \
  } while (0)
