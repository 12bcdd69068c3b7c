#include "Logwell/LWLogItem.h"

#include <charconv>
#include <cmath>

namespace logwell {
namespace {
template <typename F>
std::string shortest(F value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[400];
  // Plain decimals in the usual range, exponent form for the very small and the huge.
  F magnitude = std::fabs(value);
  bool plain = magnitude == 0 || (magnitude >= F(1e-4) && magnitude < F(9007199254740992.0));
  auto result = std::to_chars(buf, buf + sizeof buf, value, plain ? std::chars_format::fixed : std::chars_format::scientific);
  std::string text(buf, result.ptr);
  // A whole number keeps a fractional part, as 2.0 (exponent forms stay as they are).
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}
}  // namespace

std::string describeFloating(double value) { return shortest(value); }
std::string describeFloating(float value) { return shortest(value); }

std::string joinMessage(LWMessage message, std::string_view separator) {
  std::string out;
  bool first = true;
  for (const auto& item : message) {
    if (!first) out += separator;
    out += item.text();
    first = false;
  }
  return out;
}

std::string messageText(LWMessage message) { return joinMessage(message, " "); }

}  // namespace logwell
