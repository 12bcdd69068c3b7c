#include "Logwell/SocketAppender.h"

#include <chrono>

#include "Logwell/LWLogRecord.h"
#include "Logwell/LWLogger.h"

namespace logwell {

SocketAppender::SocketAppender(std::shared_ptr<platform::Runtime> runtime) : socket_(NetSocket::make(std::move(runtime))) {}

std::string toValidUTF8(std::string_view text) {
  if (isValidUTF8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  size_t i = 0;
  while (i < text.size()) {
    // The longest well-formed sequence starting here, tried from 4 bytes down.
    size_t taken = 0;
    for (size_t n = std::min<size_t>(4, text.size() - i); n >= 1; --n) {
      if (isValidUTF8(text.substr(i, n))) {
        taken = n;
        break;
      }
    }
    if (taken == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, taken));
      i += taken;
    }
  }
  return out;
}

std::string SocketAppender::record(const LWLogger& logger, LWLogLevel level, const std::string& message,
                                   std::string_view file, std::string_view function, int line) {
  std::string out = LWLogRecord::dateFormatter()->format(std::chrono::system_clock::now());
  out += '\t';
  out += description(level);
  out += '\t';
  out += logger.identifier();
  out += '\t';
  out += file;
  out += '\t';
  out += std::to_string(line);
  out += '\t';
  out += function;
  out += '\t';
  out += message;
  out += "\r\n\r\n";
  // Text that is not UTF-8 is repaired rather than lost.
  return toValidUTF8(out);
}

void SocketAppender::send(const std::string& record) {
  socket_->write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(record.data()), record.size()));
}

void SocketAppender::append(const LWLogger& logger, LWLogLevel level, LWMessage message, std::string_view file,
                            std::string_view function, int line) {
  send(record(logger, level, messageText(message), file, function, line));
}

void SocketAppender::append(const LWLogger& logger, LWLogLevel level, std::string_view format,
                            const LWFormatArgument& argument, std::string_view file, std::string_view function,
                            int line) {
  send(record(logger, level, formatMessage(format, argument), file, function, line));
}

}  // namespace logwell
