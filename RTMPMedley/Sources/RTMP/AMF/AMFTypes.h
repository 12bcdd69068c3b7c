#pragma once
// The dynamically typed value that AMF0 and AMF3 carry, and the AMF value
// types of their own: undefined, the mixed array (dense and named parts), XML
// texts, typed objects and dates.
#include <atomic>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "Medley/Sources/Extension/Data.h"

namespace rtmpmedley {

class AMFValue;

// Text-keyed map; keys iterate in sorted order, which makes output reproducible.
using AMFObject = std::map<std::string, AMFValue, std::less<>>;
using AMFList = std::vector<AMFValue>;

struct AMFUndefined {
  std::string description() const { return "undefined"; }
  friend bool operator==(const AMFUndefined&, const AMFUndefined&) { return true; }
};

// A point in time as seconds since 1970-01-01T00:00:00Z.
struct AMFDate {
  double timeIntervalSince1970 = 0;
  friend bool operator==(const AMFDate&, const AMFDate&) = default;
};

struct AMFXMLDocument {
  std::string data;
  const std::string& description() const { return data; }
  friend bool operator==(const AMFXMLDocument&, const AMFXMLDocument&) = default;
};

struct AMFXML {
  std::string data;
  const std::string& description() const { return data; }
  friend bool operator==(const AMFXML&, const AMFXML&) = default;
};

struct AMFTypedObject {
  std::string typeName;
  AMFObject data;
  friend bool operator==(const AMFTypedObject&, const AMFTypedObject&);
};

// The ECMA (mixed) array: a dense part addressed by index and a named part.
// Integer keys and decimal texts ("3", "+3", "007") address the dense part;
// an index far past its end, or a negative one, is kept by name instead so that
// a peer cannot make it grow without sending the elements.
class AMFArray {
 public:
  // Indices at or past data.size() + kMaxDenseGap are stored by name.
  static constexpr int64_t kMaxDenseGap = 1024;

  AMFArray() = default;
  // `count` undefined elements.
  explicit AMFArray(size_t count);
  AMFArray(AMFList dense);
  AMFArray(std::initializer_list<AMFValue> dense);

  AMFList data;
  AMFObject dict;

  // Only integers and texts are keys: other kinds read as absent and write nothing.
  AMFValue get(const AMFValue& key) const;
  void set(const AMFValue& key, AMFValue value);
  AMFValue get(int64_t index) const;
  AMFValue get(std::string_view key) const;
  void set(int64_t index, AMFValue value);
  void set(std::string_view key, AMFValue value);
  AMFValue get(const char* key) const;
  void set(const char* key, AMFValue value);

  // Dense part's text, ":", named part's text.
  std::string description() const;

  friend bool operator==(const AMFArray& a, const AMFArray& b);

  // A whole decimal integer within 64 bits with an optional sign, else none.
  static std::optional<int64_t> integerKey(std::string_view key);
};

// AMF3 vectors, read as plain lists of their element kind.
using AMFVectorInt = std::vector<int32_t>;
using AMFVectorUInt = std::vector<uint32_t>;
using AMFVectorDouble = std::vector<double>;

// How a kind is held inside an AMFValue: texts, containers and buffers live in
// shared nodes, so that copying a value, or resolving a back-reference to it,
// costs one reference count and not a copy of everything below it.
template <typename T>
struct AMFStorageOf {
  using type = T;
  static constexpr bool shared = false;
};
#define QZ_AMF_SHARED_KIND(T)                 \
  template <>                                 \
  struct AMFStorageOf<T> {                    \
    using type = std::shared_ptr<T>;          \
    static constexpr bool shared = true;      \
  }
QZ_AMF_SHARED_KIND(std::string);
QZ_AMF_SHARED_KIND(AMFList);
QZ_AMF_SHARED_KIND(AMFArray);
QZ_AMF_SHARED_KIND(AMFObject);
QZ_AMF_SHARED_KIND(AMFXMLDocument);
QZ_AMF_SHARED_KIND(AMFXML);
QZ_AMF_SHARED_KIND(AMFTypedObject);
QZ_AMF_SHARED_KIND(medley::Data);
QZ_AMF_SHARED_KIND(AMFVectorInt);
QZ_AMF_SHARED_KIND(AMFVectorUInt);
QZ_AMF_SHARED_KIND(AMFVectorDouble);
#undef QZ_AMF_SHARED_KIND

namespace detail {
template <typename T>
struct IsSharedNode : std::false_type {};
template <typename T>
struct IsSharedNode<std::shared_ptr<T>> : std::true_type {};
}  // namespace detail

class AMFValue {
  template <typename T>
  using Stored = typename AMFStorageOf<T>::type;

 public:
  // Scalars inline, every other kind as a shared node (see AMFStorageOf).
  using Storage = std::variant<std::monostate, bool, int64_t, double, Stored<std::string>, AMFDate, Stored<AMFList>,
                               Stored<AMFArray>, Stored<AMFObject>, AMFUndefined, Stored<AMFXMLDocument>,
                               Stored<AMFXML>, Stored<AMFTypedObject>, Stored<medley::Data>, Stored<AMFVectorInt>,
                               Stored<AMFVectorUInt>, Stored<AMFVectorDouble>>;

  // Absent (AMF null).
  AMFValue() = default;
  AMFValue(std::nullptr_t) {}
  AMFValue(std::nullopt_t) {}
  AMFValue(bool v) : v_(v) {}
  // Every integer width is a number; unsigned values beyond int64 become doubles.
  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
  AMFValue(T v) {
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(int64_t)) {
      if (v > static_cast<T>(INT64_MAX)) {
        v_ = static_cast<double>(v);
        return;
      }
    }
    v_ = static_cast<int64_t>(v);
  }
  AMFValue(float v) : v_(static_cast<double>(v)) {}
  AMFValue(double v) : v_(v) {}
  AMFValue(const char* v) : AMFValue(std::string(v)) {}
  AMFValue(std::string_view v) : AMFValue(std::string(v)) {}
  AMFValue(std::string v) : v_(std::make_shared<std::string>(std::move(v))) {}
  AMFValue(AMFDate v) : v_(v) {}
  AMFValue(AMFList v) : v_(std::make_shared<AMFList>(std::move(v))) {}
  AMFValue(AMFArray v) : v_(std::make_shared<AMFArray>(std::move(v))) {}
  AMFValue(AMFObject v) : v_(std::make_shared<AMFObject>(std::move(v))) {}
  AMFValue(AMFUndefined v) : v_(v) {}
  AMFValue(AMFXMLDocument v) : v_(std::make_shared<AMFXMLDocument>(std::move(v))) {}
  AMFValue(AMFXML v) : v_(std::make_shared<AMFXML>(std::move(v))) {}
  AMFValue(AMFTypedObject v) : v_(std::make_shared<AMFTypedObject>(std::move(v))) {}
  AMFValue(medley::Data v) : v_(std::make_shared<medley::Data>(std::move(v))) {}
  AMFValue(AMFVectorInt v) : v_(std::make_shared<AMFVectorInt>(std::move(v))) {}
  AMFValue(AMFVectorUInt v) : v_(std::make_shared<AMFVectorUInt>(std::move(v))) {}
  AMFValue(AMFVectorDouble v) : v_(std::make_shared<AMFVectorDouble>(std::move(v))) {}
  template <typename T>
  AMFValue(const std::optional<T>& v) {
    if (v) *this = AMFValue(*v);
  }

  bool isNull() const { return std::holds_alternative<std::monostate>(v_); }
  bool isNumber() const { return std::holds_alternative<int64_t>(v_) || std::holds_alternative<double>(v_); }
  // The number as a double, none for other kinds.
  std::optional<double> number() const;

  template <typename T>
  bool is() const { return std::holds_alternative<Stored<T>>(v_); }
  template <typename T>
  const T* get() const {
    auto p = std::get_if<Stored<T>>(&v_);
    if constexpr (AMFStorageOf<T>::shared) return p ? p->get() : nullptr;
    else return p;
  }
  // A node shared with other values is copied first, so that writing through
  // the pointer changes this value only. The pointer is valid until this value
  // is assigned or copied.
  template <typename T>
  T* get() {
    auto p = std::get_if<Stored<T>>(&v_);
    if constexpr (AMFStorageOf<T>::shared) {
      if (!p) return nullptr;
      if (p->use_count() > 1) *p = std::make_shared<T>(**p);
      // Sole owner: what the last other owner did with the node happens before our writes.
      else std::atomic_thread_fence(std::memory_order_acquire);
      return p->get();
    } else {
      return p;
    }
  }

  const std::string* string() const { return get<std::string>(); }
  const AMFObject* object() const { return get<AMFObject>(); }

  const Storage& storage() const { return v_; }
  // Calls `f` with the held value in its own kind (std::monostate when absent).
  template <typename F>
  decltype(auto) visit(F&& f) const {
    return std::visit(
        [&f](const auto& stored) -> decltype(auto) {
          if constexpr (detail::IsSharedNode<std::decay_t<decltype(stored)>>::value) return f(*stored);
          else return f(stored);
        },
        v_);
  }

  // Printed text: nil, true, 1, 1.0, "text", [a, b], ["k": v], dense:named for mixed arrays.
  std::string description() const;

  // Compares kinds and contents, not nodes.
  friend bool operator==(const AMFValue& a, const AMFValue& b);

 private:
  Storage v_;
};

// A reader met a marker or a stored value of the wrong kind (deserialize), or
// an AMF3 reference points past its table (outOfIndex).
class AMFSerializerError : public std::exception {
 public:
  enum class Kind { deserialize, outOfIndex };
  explicit AMFSerializerError(Kind kind) : kind_(kind) {}
  Kind kind() const { return kind_; }
  const char* what() const noexcept override;

 private:
  Kind kind_;
};

std::string describe(const AMFObject& object);
std::string describe(const AMFList& list);

}  // namespace rtmpmedley
