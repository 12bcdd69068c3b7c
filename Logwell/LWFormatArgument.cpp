#include "Logwell/LWFormatArgument.h"

#include <cstdio>
#include <cstring>

namespace logwell {
namespace {

// Widths and precisions beyond this would only let a format text allocate without bound.
constexpr long kMaxFieldSize = 4096;

struct Conversion {
  std::string flags;
  std::string width;
  std::string precision;  // with its leading '.', when present
  bool star = false;
  bool complete = false;
  char conversion = 0;
  size_t end = 0;  // index after the conversion character
};

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\''; }

Conversion parse(std::string_view f, size_t start) {
  Conversion c;
  size_t i = start + 1;
  while (i < f.size() && isFlag(f[i])) c.flags += f[i++];
  if (i < f.size() && f[i] == '*') { c.star = true; ++i; }
  while (i < f.size() && f[i] >= '0' && f[i] <= '9') c.width += f[i++];
  if (i < f.size() && f[i] == '.') {
    c.precision += f[i++];
    if (i < f.size() && f[i] == '*') { c.star = true; ++i; }
    while (i < f.size() && f[i] >= '0' && f[i] <= '9') c.precision += f[i++];
  }
  // Length modifiers are accepted and dropped: the value's own width is used.
  while (i < f.size() && std::strchr("hlqLzjt", f[i]) != nullptr) ++i;
  if (i < f.size()) {
    c.conversion = f[i++];
    c.complete = true;
  }
  c.end = i;
  return c;
}

bool fieldTooLarge(const std::string& digits) {
  size_t first = digits.find_first_not_of("0.");
  if (first == std::string::npos) return false;
  return digits.size() - first > 5 || std::stol(digits.substr(first)) > kMaxFieldSize;
}

template <typename... Args>
std::string printChecked(const std::string& spec, Args... values) {
  int n = std::snprintf(nullptr, 0, spec.c_str(), values...);
  if (n < 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), spec.c_str(), values...);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string utf8(unsigned long long cp) {
  std::string s;
  if (cp < 0x80) s += static_cast<char>(cp);
  else if (cp < 0x800) { s += static_cast<char>(0xC0 | (cp >> 6)); s += static_cast<char>(0x80 | (cp & 0x3F)); }
  else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12)); s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18)); s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)); s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

std::string pad(std::string text, const Conversion& c) {
  if (c.width.empty()) return text;
  size_t width = std::stoul(c.width);
  if (text.size() >= width) return text;
  bool left = c.flags.find('-') != std::string::npos;
  return left ? text + std::string(width - text.size(), ' ') : std::string(width - text.size(), ' ') + text;
}

// The converted text, or none when the conversion does not fit the argument.
std::optional<std::string> convert(const Conversion& c, const LWFormatArgument& a) {
  using Kind = LWFormatArgument::Kind;
  if (c.star || fieldTooLarge(c.width) || fieldTooLarge(c.precision)) return std::nullopt;
  std::string head = "%" + c.flags + c.width + c.precision;
  bool integer = a.kind() == Kind::signedInteger || a.kind() == Kind::unsignedInteger;
  switch (c.conversion) {
    case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': {
      if (!integer) return std::nullopt;
      bool signedConv = c.conversion == 'd' || c.conversion == 'i';
      std::string spec = head + "ll" + c.conversion;
      if (signedConv) {
        long long v = a.kind() == Kind::signedInteger ? a.signedValue() : static_cast<long long>(a.unsignedValue());
        return printChecked(spec, v);
      }
      unsigned long long v = a.kind() == Kind::unsignedInteger ? a.unsignedValue()
                                                               : static_cast<unsigned long long>(a.signedValue());
      return printChecked(spec, v);
    }
    case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
      if (a.kind() != Kind::floating) return std::nullopt;
      return printChecked(head + c.conversion, a.floatingValue());
    case 'c': case 'C': {
      if (!integer) return std::nullopt;
      unsigned long long cp = a.kind() == Kind::unsignedInteger ? a.unsignedValue()
                                                                : static_cast<unsigned long long>(a.signedValue());
      if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
      return pad(utf8(cp), c);
    }
    case 's': case 'S':
      if (a.kind() != Kind::text) return std::nullopt;
      return printChecked(head + "s", a.description().c_str());
    case '@':
      return pad(a.description(), c);
    case 'p':
      if (a.kind() != Kind::pointer) return std::nullopt;
      return printChecked(head + "p", a.pointerValue());
    default:
      return std::nullopt;  // %n and unknown conversions are never run
  }
}

}  // namespace

std::string formatMessage(std::string_view format, const LWFormatArgument& argument) {
  std::string out;
  out.reserve(format.size() + 16);
  bool used = false;
  size_t i = 0;
  while (i < format.size()) {
    char ch = format[i];
    if (ch != '%') {
      out += ch;
      ++i;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    Conversion c = parse(format, i);
    std::optional<std::string> text;
    if (c.complete && !used) text = convert(c, argument);
    if (text) {
      out += *text;
      used = true;
    } else {
      out.append(format.substr(i, c.end - i));
    }
    i = c.end;
  }
  return out;
}

}  // namespace logwell
