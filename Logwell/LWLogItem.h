#pragma once
// One value of a log message list, turned into its text when the item is made
// (so that a list can be handed to any appender without knowing the types).
//
// A value is printed by its description: text as is, numbers in decimal (floating
// point in its shortest round-trip form, always with a fractional part: 2.0),
// booleans as true/false, an absent optional or null pointer as "nil", and any
// other type through description(), debugDescription(), what() or operator<<.
#include <concepts>
#include <exception>
#include <memory>
#include <optional>
#include <ranges>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

namespace logwell {

std::string describeFloating(double value);
std::string describeFloating(float value);

template <typename T>
concept LWHasDescription = requires(const T& v) {
  { v.description() } -> std::convertible_to<std::string>;
};
template <typename T>
concept LWHasDebugDescription = requires(const T& v) {
  { v.debugDescription() } -> std::convertible_to<std::string>;
};
template <typename T>
concept LWStreamable = requires(std::ostream& os, const T& v) { os << v; };

namespace detail {
template <typename T> struct IsOptional : std::false_type {};
template <typename T> struct IsOptional<std::optional<T>> : std::true_type {};
template <typename T> struct IsSmartPointer : std::false_type {};
template <typename T> struct IsSmartPointer<std::shared_ptr<T>> : std::true_type {};
template <typename T> struct IsSmartPointer<std::unique_ptr<T>> : std::true_type {};
template <typename T> struct IsSmartPointer<std::weak_ptr<T>> : std::false_type {};
}  // namespace detail

template <typename T>
concept LWDescribableRange = std::ranges::input_range<const T> && !std::is_convertible_v<const T&, std::string_view>;

template <typename T>
concept LWDescribable =
    std::convertible_to<const T&, std::string_view> || std::is_arithmetic_v<T> || std::is_enum_v<T> ||
    detail::IsOptional<T>::value || detail::IsSmartPointer<T>::value || std::is_pointer_v<T> ||
    std::is_base_of_v<std::exception, T> || std::same_as<T, std::error_code> || LWHasDescription<T> ||
    LWHasDebugDescription<T> || LWStreamable<T> || std::is_null_pointer_v<T> || LWDescribableRange<T>;

template <typename T>
std::string lwDescribe(const T& value);

namespace detail {
template <typename T>
std::string describeValue(const T& value) {
  if constexpr (std::is_null_pointer_v<T>) {
    return "nil";
  } else if constexpr (std::convertible_to<const T&, std::string_view>) {
    if constexpr (std::is_pointer_v<std::decay_t<T>>) {
      if (value == nullptr) return "nil";
    }
    return std::string(std::string_view(value));
  } else if constexpr (std::same_as<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::same_as<T, char>) {
    return std::string(1, value);
  } else if constexpr (std::is_integral_v<T>) {
    if constexpr (std::is_signed_v<T>) return std::to_string(static_cast<long long>(value));
    else return std::to_string(static_cast<unsigned long long>(value));
  } else if constexpr (std::is_floating_point_v<T>) {
    if constexpr (std::same_as<T, float>) return describeFloating(value);
    else return describeFloating(static_cast<double>(value));
  } else if constexpr (IsOptional<T>::value) {
    return value ? lwDescribe(*value) : std::string("nil");
  } else if constexpr (IsSmartPointer<T>::value) {
    return value ? lwDescribe(*value) : std::string("nil");
  } else if constexpr (LWHasDescription<T>) {
    return std::string(value.description());
  } else if constexpr (LWHasDebugDescription<T>) {
    return std::string(value.debugDescription());
  } else if constexpr (std::is_base_of_v<std::exception, T>) {
    return value.what();
  } else if constexpr (std::same_as<T, std::error_code>) {
    return value.message();
  } else if constexpr (LWStreamable<T>) {
    std::ostringstream os;
    os << value;
    return os.str();
  } else if constexpr (LWDescribableRange<T>) {
    // As a list: [1, 2, 3], with text elements quoted: ["a", "b"].
    using Element = std::remove_cvref_t<std::ranges::range_reference_t<const T>>;
    std::string out = "[";
    bool first = true;
    for (const auto& element : value) {
      if (!first) out += ", ";
      first = false;
      if constexpr (std::is_convertible_v<const Element&, std::string_view>) out += "\"" + lwDescribe(element) + "\"";
      else out += lwDescribe(element);
    }
    return out + "]";
  } else if constexpr (std::is_enum_v<T>) {
    return describeValue(static_cast<std::underlying_type_t<T>>(value));
  } else if constexpr (std::is_pointer_v<T>) {
    if (value == nullptr) return "nil";
    using Pointee = std::remove_cv_t<std::remove_pointer_t<T>>;
    if constexpr (LWDescribable<Pointee> && !std::is_void_v<Pointee>) return lwDescribe(*value);
    else {
      std::ostringstream os;
      os << static_cast<const void*>(value);
      return os.str();
    }
  } else {
    static_assert(sizeof(T) == 0, "no description for this type");
  }
}
}  // namespace detail

template <typename T>
std::string lwDescribe(const T& value) {
  return detail::describeValue<T>(value);
}

class LWLogItem {
 public:
  template <typename T>
    requires(!std::same_as<std::remove_cvref_t<T>, LWLogItem> && LWDescribable<std::remove_cvref_t<T>>)
  LWLogItem(const T& value) : text_(lwDescribe(value)) {}  // NOLINT: implicit by design
  LWLogItem(std::string value) : text_(std::move(value)) {}
  LWLogItem(const char* value) : text_(value ? value : "nil") {}

  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// A message list as appenders receive it.
using LWMessage = std::span<const LWLogItem>;

// The items' texts joined by the separator.
std::string joinMessage(LWMessage message, std::string_view separator = "");
// A message list as the appenders write it: the items' texts with one space
// between neighbours, as the libraries' calls are written
// ("bitRate change from", old, "to", now).
std::string messageText(LWMessage message);

}  // namespace logwell
