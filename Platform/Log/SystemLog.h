#pragma once
// The system log: every entry carries a type, a subsystem and a category. In
// production entries go to syslog(3) as "[subsystem:category] message"; tests
// install a capturing sink instead. Thread-safe.
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class LogType { debug, info, defaultType, error, fault };

const char* logTypeName(LogType type);

class SystemLogSink {
 public:
  virtual ~SystemLogSink() = default;
  virtual bool isEnabled(LogType type) const { return true; }
  virtual void write(LogType type, std::string_view subsystem, std::string_view category,
                     std::string_view message) = 0;
};

// syslog(3): openlog once with the process name; debug -> LOG_DEBUG, info -> LOG_INFO,
// default -> LOG_NOTICE, error -> LOG_ERR, fault -> LOG_CRIT.
class SyslogSink final : public SystemLogSink {
 public:
  bool isEnabled(LogType type) const override;
  void write(LogType type, std::string_view subsystem, std::string_view category,
             std::string_view message) override;
  static int priority(LogType type);
};

// Records every entry; for tests.
class CapturingSystemLogSink final : public SystemLogSink {
 public:
  struct Entry {
    LogType type;
    std::string subsystem;
    std::string category;
    std::string message;
    bool operator==(const Entry&) const = default;
  };
  void write(LogType type, std::string_view subsystem, std::string_view category,
             std::string_view message) override;
  std::vector<Entry> entries() const;
  std::vector<std::string> messages() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

class SystemLog {
 public:
  // The sink every SystemLogger writes to (the syslog sink until replaced).
  static std::shared_ptr<SystemLogSink> sink();
  // Installs a sink; null restores the syslog sink. Returns the previous one.
  static std::shared_ptr<SystemLogSink> setSink(std::shared_ptr<SystemLogSink> sink);
};

// Installs a capturing sink for the lifetime of the object (tests).
class ScopedSystemLogCapture {
 public:
  ScopedSystemLogCapture();
  ~ScopedSystemLogCapture();
  ScopedSystemLogCapture(const ScopedSystemLogCapture&) = delete;
  ScopedSystemLogCapture& operator=(const ScopedSystemLogCapture&) = delete;
  CapturingSystemLogSink& sink() { return *sink_; }

 private:
  std::shared_ptr<CapturingSystemLogSink> sink_;
  std::shared_ptr<SystemLogSink> previous_;
};

class SystemLogger {
 public:
  SystemLogger(std::string subsystem, std::string category);

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  bool isEnabled(LogType type) const;
  void log(LogType type, std::string_view message) const;
  void debug(std::string_view message) const { log(LogType::debug, message); }
  void info(std::string_view message) const { log(LogType::info, message); }
  void notice(std::string_view message) const { log(LogType::defaultType, message); }
  void error(std::string_view message) const { log(LogType::error, message); }
  void fault(std::string_view message) const { log(LogType::fault, message); }

 private:
  std::string subsystem_;
  std::string category_;
};

}  // namespace platform
