#pragma once
// Sends each record as one tab-separated text record over a TCP connection:
// date, level name, identifier, file path, line, function, message, then
// CR LF CR LF. Formatting happens on the logging thread; sending never blocks it.
#include <memory>
#include <string>

#include "Logwell/LWLoggerAppender.h"
#include "Logwell/NetSocket.h"

namespace logwell {

class SocketAppender : public LWLoggerAppender {
 public:
  explicit SocketAppender(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  const std::shared_ptr<NetSocket>& socket() const { return socket_; }
  void connect(std::string host, int port) { socket_->connect(std::move(host), port); }
  void close() { socket_->close(); }

  void append(const LWLogger& logger, LWLogLevel level, LWMessage message, std::string_view file,
              std::string_view function, int line) override;
  void append(const LWLogger& logger, LWLogLevel level, std::string_view format, const LWFormatArgument& argument,
              std::string_view file, std::string_view function, int line) override;

  // The record's bytes, dated now.
  static std::string record(const LWLogger& logger, LWLogLevel level, const std::string& message,
                            std::string_view file, std::string_view function, int line);

 private:
  void send(const std::string& record);
  std::shared_ptr<NetSocket> socket_;
};

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string toValidUTF8(std::string_view text);

}  // namespace logwell
