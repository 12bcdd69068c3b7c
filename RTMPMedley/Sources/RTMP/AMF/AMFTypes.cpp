#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"

#include <charconv>
#include <cstdio>

#include "Medley/Sources/Extension/DebugDescription.h"

namespace rtmpmedley {

namespace {

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += buf;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

template <typename T>
std::string describeNumbers(const std::vector<T>& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    out += medley::describe(v[i]);
  }
  return out + "]";
}

}  // namespace

const char* AMFSerializerError::what() const noexcept {
  return kind_ == Kind::deserialize ? "AMFSerializerError.deserialize" : "AMFSerializerError.outOfIndex";
}

bool operator==(const AMFTypedObject& a, const AMFTypedObject& b) {
  return a.typeName == b.typeName && a.data == b.data;
}

std::string describe(const AMFObject& object) {
  if (object.empty()) return "[:]";
  std::string out = "[";
  bool first = true;
  for (const auto& [k, v] : object) {
    if (!first) out += ", ";
    first = false;
    out += quoted(k) + ": " + v.description();
  }
  return out + "]";
}

std::string describe(const AMFList& list) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i) out += ", ";
    out += list[i].description();
  }
  return out + "]";
}

// AMFArray

AMFArray::AMFArray(size_t count) : data(count, AMFValue(AMFUndefined{})) {}
AMFArray::AMFArray(AMFList dense) : data(std::move(dense)) {}
AMFArray::AMFArray(std::initializer_list<AMFValue> dense) : data(dense) {}

std::optional<int64_t> AMFArray::integerKey(std::string_view key) {
  if (key.empty()) return std::nullopt;
  size_t start = 0;
  bool negative = false;
  if (key[0] == '+' || key[0] == '-') {
    negative = key[0] == '-';
    start = 1;
  }
  if (start == key.size()) return std::nullopt;
  for (size_t i = start; i < key.size(); ++i)
    if (key[i] < '0' || key[i] > '9') return std::nullopt;
  // Parse the magnitude as unsigned so that INT64_MIN is accepted.
  uint64_t magnitude = 0;
  auto [p, ec] = std::from_chars(key.data() + start, key.data() + key.size(), magnitude);
  if (ec != std::errc{} || p != key.data() + key.size()) return std::nullopt;
  if (negative) {
    if (magnitude > uint64_t(INT64_MAX) + 1) return std::nullopt;
    return magnitude == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
  }
  if (magnitude > uint64_t(INT64_MAX)) return std::nullopt;
  return static_cast<int64_t>(magnitude);
}

AMFValue AMFArray::get(int64_t index) const {
  if (index >= 0 && static_cast<uint64_t>(index) < data.size()) return data[static_cast<size_t>(index)];
  auto it = dict.find(std::to_string(index));
  if (it != dict.end()) return it->second;
  return AMFUndefined{};
}

AMFValue AMFArray::get(std::string_view key) const {
  if (auto index = integerKey(key)) return get(*index);
  auto it = dict.find(key);
  return it == dict.end() ? AMFValue() : it->second;
}

AMFValue AMFArray::get(const AMFValue& key) const {
  if (auto i = key.get<int64_t>()) return get(*i);
  if (auto s = key.string()) return get(std::string_view(*s));
  return AMFValue();
}

void AMFArray::set(int64_t index, AMFValue value) {
  if (index < 0 || index - static_cast<int64_t>(data.size()) >= kMaxDenseGap) {
    dict[std::to_string(index)] = std::move(value);
    return;
  }
  if (static_cast<uint64_t>(index) >= data.size()) data.resize(static_cast<size_t>(index) + 1, AMFUndefined{});
  data[static_cast<size_t>(index)] = std::move(value);
}

void AMFArray::set(std::string_view key, AMFValue value) {
  if (auto index = integerKey(key)) {
    set(*index, std::move(value));
    return;
  }
  auto it = dict.find(key);
  if (it != dict.end()) it->second = std::move(value);
  else dict.emplace(std::string(key), std::move(value));
}

void AMFArray::set(const AMFValue& key, AMFValue value) {
  if (auto i = key.get<int64_t>()) set(*i, std::move(value));
  else if (auto s = key.string()) set(std::string_view(*s), std::move(value));
}

AMFValue AMFArray::get(const char* key) const { return get(std::string_view(key)); }
void AMFArray::set(const char* key, AMFValue value) { set(std::string_view(key), std::move(value)); }

std::string AMFArray::description() const { return rtmpmedley::describe(data) + ":" + rtmpmedley::describe(dict); }

bool operator==(const AMFArray& a, const AMFArray& b) { return a.data == b.data && a.dict == b.dict; }

// AMFValue

std::optional<double> AMFValue::number() const {
  if (auto i = get<int64_t>()) return static_cast<double>(*i);
  if (auto d = get<double>()) return *d;
  return std::nullopt;
}

bool operator==(const AMFValue& a, const AMFValue& b) {
  if (a.v_.index() != b.v_.index()) return false;
  return std::visit(
      [&b](const auto& x) {
        using S = std::decay_t<decltype(x)>;
        const S& y = *std::get_if<S>(&b.v_);
        if constexpr (detail::IsSharedNode<S>::value) return x == y || *x == *y;
        else return x == y;
      },
      a.v_);
}

std::string AMFValue::description() const {
  return visit([](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) return "nil";
        else if constexpr (std::is_same_v<T, bool>) return v ? "true" : "false";
        else if constexpr (std::is_same_v<T, int64_t>) return std::to_string(v);
        else if constexpr (std::is_same_v<T, double>) return medley::describe(v);
        else if constexpr (std::is_same_v<T, std::string>) return quoted(v);
        else if constexpr (std::is_same_v<T, AMFDate>) return "Date(" + medley::describe(v.timeIntervalSince1970) + ")";
        else if constexpr (std::is_same_v<T, AMFList>) return rtmpmedley::describe(v);
        else if constexpr (std::is_same_v<T, AMFObject>) return rtmpmedley::describe(v);
        else if constexpr (std::is_same_v<T, AMFTypedObject>) return v.typeName + rtmpmedley::describe(v.data);
        else if constexpr (std::is_same_v<T, medley::Data>) return std::to_string(v.size()) + " bytes";
        else if constexpr (std::is_same_v<T, AMFVectorInt> || std::is_same_v<T, AMFVectorUInt> ||
                           std::is_same_v<T, AMFVectorDouble>)
          return describeNumbers(v);
        else return std::string(v.description());
      });
}

}  // namespace rtmpmedley
