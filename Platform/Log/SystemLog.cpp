#include "Platform/Log/SystemLog.h"

#include <syslog.h>

#include <cerrno>
#include <string>

namespace platform {

const char* logTypeName(LogType type) {
  switch (type) {
    case LogType::debug: return "debug";
    case LogType::info: return "info";
    case LogType::defaultType: return "default";
    case LogType::error: return "error";
    case LogType::fault: return "fault";
  }
  return "default";
}

int SyslogSink::priority(LogType type) {
  switch (type) {
    case LogType::debug: return LOG_DEBUG;
    case LogType::info: return LOG_INFO;
    case LogType::defaultType: return LOG_NOTICE;
    case LogType::error: return LOG_ERR;
    case LogType::fault: return LOG_CRIT;
  }
  return LOG_NOTICE;
}

namespace {

void openOnce() {
  // openlog keeps the ident pointer: program_invocation_short_name lives as long
  // as the process.
  static const bool opened = [] {
    openlog(program_invocation_short_name, LOG_PID | LOG_NDELAY, LOG_USER);
    return true;
  }();
  (void)opened;
}

}  // namespace

bool SyslogSink::isEnabled(LogType type) const {
  // setlogmask(0) reads the mask without changing it.
  return (setlogmask(0) & LOG_MASK(priority(type))) != 0;
}

void SyslogSink::write(LogType type, std::string_view subsystem, std::string_view category,
                       std::string_view message) {
  openOnce();
  std::string line;
  line.reserve(subsystem.size() + category.size() + message.size() + 4);
  line.append("[").append(subsystem).append(":").append(category).append("] ").append(message);
  // The message is never used as a format.
  syslog(priority(type), "%s", line.c_str());
}

void CapturingSystemLogSink::write(LogType type, std::string_view subsystem, std::string_view category,
                                   std::string_view message) {
  std::lock_guard lock(mutex_);
  entries_.push_back({type, std::string(subsystem), std::string(category), std::string(message)});
}

std::vector<CapturingSystemLogSink::Entry> CapturingSystemLogSink::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<std::string> CapturingSystemLogSink::messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.message);
  return out;
}

void CapturingSystemLogSink::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<SystemLogSink>& currentSink() {
  static std::shared_ptr<SystemLogSink> sink = std::make_shared<SyslogSink>();
  return sink;
}

}  // namespace

std::shared_ptr<SystemLogSink> SystemLog::sink() {
  std::lock_guard lock(sinkMutex());
  return currentSink();
}

std::shared_ptr<SystemLogSink> SystemLog::setSink(std::shared_ptr<SystemLogSink> sink) {
  if (!sink) sink = std::make_shared<SyslogSink>();
  std::lock_guard lock(sinkMutex());
  auto previous = std::move(currentSink());
  currentSink() = std::move(sink);
  return previous;
}

ScopedSystemLogCapture::ScopedSystemLogCapture()
    : sink_(std::make_shared<CapturingSystemLogSink>()), previous_(SystemLog::setSink(sink_)) {}

ScopedSystemLogCapture::~ScopedSystemLogCapture() { SystemLog::setSink(previous_); }

SystemLogger::SystemLogger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

bool SystemLogger::isEnabled(LogType type) const { return SystemLog::sink()->isEnabled(type); }

void SystemLogger::log(LogType type, std::string_view message) const {
  // The sink is held for the call, so a concurrent setSink cannot free it.
  auto sink = SystemLog::sink();
  if (sink->isEnabled(type)) sink->write(type, subsystem_, category_, message);
}

}  // namespace platform
