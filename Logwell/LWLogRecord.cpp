#include "Logwell/LWLogRecord.h"

#include <chrono>
#include <limits>
#include <mutex>
#include <vector>

namespace logwell {
namespace {
std::mutex formatterMutex;
std::shared_ptr<const LWDateFormatter>& sharedFormatter() {
  static std::shared_ptr<const LWDateFormatter> formatter =
      std::make_shared<LWDateFormatter>("yyyy-dd-MM HH:mm:ss.SSS");
  return formatter;
}

int64_t parseLine(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return 0;
  // Accumulate as a negative number so that the smallest value fits too.
  int64_t value = 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return 0;
    int digit = c - '0';
    if (value < (kMin + digit) / 10) return 0;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == kMin) return 0;
    value = -value;
  }
  return value;
}
}  // namespace

bool isValidUTF8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) { ++i; continue; }
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) { n = 1; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { n = 2; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 3; cp = c & 0x07; }
    else return false;
    for (size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return false;
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

std::string_view LWLogRecord::fileName(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::shared_ptr<const LWDateFormatter> LWLogRecord::dateFormatter() {
  std::lock_guard lock(formatterMutex);
  return sharedFormatter();
}

void LWLogRecord::setDateFormatter(std::shared_ptr<const LWDateFormatter> formatter) {
  if (!formatter) return;
  std::lock_guard lock(formatterMutex);
  sharedFormatter() = std::move(formatter);
}

std::string LWLogRecord::description() const {
  std::string out = dateFormatter()->format(date);
  out += " [";
  out += logwell::description(level);
  out += "] [";
  out += identifier;
  out += "] [";
  out += fileName(file);
  out += ":";
  out += std::to_string(line);
  out += "] ";
  out += function;
  out += " > ";
  out += message;
  return out;
}

std::optional<LWLogRecord> LWLogRecord::parse(std::span<const uint8_t> bytes) {
  return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<LWLogRecord> LWLogRecord::parse(std::string_view text) {
  if (!isValidUTF8(text)) return std::nullopt;
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t tab = text.find('\t', start);
    if (tab == std::string_view::npos) tab = text.size();
    if (tab > start) pieces.push_back(text.substr(start, tab - start));
    start = tab + 1;
  }
  if (pieces.size() < 7) return std::nullopt;

  LWLogRecord record;
  auto date = dateFormatter()->parse(pieces[0]);
  record.date = date ? *date : std::chrono::system_clock::now();
  record.level = levelFromString(pieces[1]).value_or(LWLogLevel::trace);
  record.identifier = pieces[2];
  record.file = pieces[3];
  record.line = parseLine(pieces[4]);
  record.function = pieces[5];
  for (size_t k = 6; k < pieces.size(); ++k) {
    if (k > 6) record.message += '\t';
    record.message += pieces[k];
  }
  return record;
}

}  // namespace logwell
