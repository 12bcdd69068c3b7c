#pragma once
// The one argument of a format-form log call, and the checked formatter that
// fills a printf-style format with it. Caller text never reaches a printf-family
// function as a format: every conversion is parsed here, checked against the
// argument's kind, and only a rebuilt, validated single conversion is formatted.
// A conversion that does not match the argument (or finds no argument left, or
// asks for more arguments through "*") is written literally.
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "Logwell/LWLogItem.h"

namespace logwell {

class LWFormatArgument {
 public:
  enum class Kind { signedInteger, unsignedInteger, floating, text, pointer, object };

  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
  LWFormatArgument(T value) {  // NOLINT: implicit by design
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::signedInteger;
      signed_ = value;
    } else {
      kind_ = Kind::unsignedInteger;
      unsigned_ = value;
    }
    description_ = lwDescribe(value);
  }
  LWFormatArgument(bool value) : kind_(Kind::signedInteger), signed_(value ? 1 : 0), description_(value ? "true" : "false") {}
  LWFormatArgument(double value) : kind_(Kind::floating), floating_(value), description_(describeFloating(value)) {}
  LWFormatArgument(float value) : kind_(Kind::floating), floating_(value), description_(describeFloating(value)) {}
  LWFormatArgument(const char* value) : kind_(Kind::text), description_(value ? value : "(null)") {}
  LWFormatArgument(std::string value) : kind_(Kind::text), description_(std::move(value)) {}
  LWFormatArgument(std::string_view value) : kind_(Kind::text), description_(value) {}
  LWFormatArgument(const void* value) : kind_(Kind::pointer), pointer_(value), description_(lwDescribe(value)) {}
  // Any other describable value: it fills "%@" with its description.
  template <typename T>
    requires(!std::is_arithmetic_v<T> && !std::is_pointer_v<T> && !std::is_convertible_v<const T&, std::string_view> &&
             !std::is_same_v<T, LWFormatArgument> && LWDescribable<T>)
  LWFormatArgument(const T& value) : kind_(Kind::object), description_(lwDescribe(value)) {}

  Kind kind() const { return kind_; }
  long long signedValue() const { return signed_; }
  unsigned long long unsignedValue() const { return unsigned_; }
  double floatingValue() const { return floating_; }
  const void* pointerValue() const { return pointer_; }
  // Text for "%s" and "%@".
  const std::string& description() const { return description_; }

 private:
  Kind kind_;
  long long signed_ = 0;
  unsigned long long unsigned_ = 0;
  double floating_ = 0;
  const void* pointer_ = nullptr;
  std::string description_;
};

// The format filled with the one argument; "%%" gives "%".
std::string formatMessage(std::string_view format, const LWFormatArgument& argument);

}  // namespace logwell
