#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"

#include <cmath>
#include <stdexcept>

#include "RTMPMedley/Sources/RTMP/AMF/AMF3Serializer.h"

namespace rtmpmedley {

namespace {
constexpr auto kDeserialize = AMFSerializerError::Kind::deserialize;
}

// Writing

AMF0Serializer& AMF0Serializer::serializeUTF8(std::string_view text, bool isLong) {
  if (isLong) {
    if (text.size() > 0xFFFFFFFFull) throw std::length_error("AMF0 text longer than a 32-bit length");
    writeUInt32(static_cast<uint32_t>(text.size()));
  } else {
    if (text.size() > 0xFFFF) throw std::length_error("AMF0 text longer than a 16-bit length");
    writeUInt16(static_cast<uint16_t>(text.size()));
  }
  writeUTF8Bytes(text);
  return *this;
}

AMF0Serializer& AMF0Serializer::serialize(const AMFValue& value) {
  std::visit(
      [this](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          writeUInt8(null);
        } else if constexpr (std::is_same_v<T, bool>) {
          writeUInt8(boolean).writeUInt8(v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, double>) {
          writeUInt8(number).writeDouble(static_cast<double>(v));
        } else if constexpr (std::is_same_v<T, std::string>) {
          const bool isLong = v.size() >= 0x10000;
          writeUInt8(isLong ? longString : string);
          serializeUTF8(v, isLong);
        } else if constexpr (std::is_same_v<T, AMFDate>) {
          writeUInt8(date).writeDouble(v.timeIntervalSince1970 * 1000.0).writeUInt16(0);
        } else if constexpr (std::is_same_v<T, AMFList>) {
          writeUInt8(strictArray).writeUInt32(static_cast<uint32_t>(v.size()));
          for (const auto& e : v) serialize(e);
        } else if constexpr (std::is_same_v<T, AMFArray>) {
          writeUInt8(ecmaArray).writeUInt32(static_cast<uint32_t>(v.data.size()));
          for (size_t i = 0; i < v.data.size(); ++i) {
            serializeUTF8(std::to_string(i), false);
            serialize(v.data[i]);
          }
          for (const auto& [k, e] : v.dict) {
            // The empty key ends the entries; such an entry cannot be written.
            if (k.empty()) continue;
            serializeUTF8(k, false);
            serialize(e);
          }
          writeUInt16(0).writeUInt8(objectEnd);
        } else if constexpr (std::is_same_v<T, AMFObject>) {
          writeUInt8(object);
          for (const auto& [k, e] : v) {
            if (k.empty()) continue;
            serializeUTF8(k, false);
            serialize(e);
          }
          writeUInt16(0).writeUInt8(objectEnd);
        } else if constexpr (std::is_same_v<T, AMFTypedObject>) {
          writeUInt8(typedObject);
          serializeUTF8(v.typeName, false);
          for (const auto& [k, e] : v.data) {
            if (k.empty()) continue;
            serializeUTF8(k, false);
            serialize(e);
          }
          writeUInt16(0).writeUInt8(objectEnd);
        } else if constexpr (std::is_same_v<T, AMFXMLDocument>) {
          writeUInt8(xmlDocument);
          serializeUTF8(v.data, true);
        } else {
          writeUInt8(undefined);
        }
      },
      value.storage());
  return *this;
}

// Reading

void AMF0Serializer::expect(uint8_t marker) {
  if (readUInt8() != marker) throw AMFSerializerError(kDeserialize);
}

size_t AMF0Serializer::beginComplex() {
  complexes_.push_back({});
  return complexes_.size() - 1;
}

void AMF0Serializer::endComplex(size_t index, const AMFValue& value, int64_t start, uint64_t expansionAtStart) {
  Complex& c = complexes_[index];
  c.value = value;
  c.weight = static_cast<uint64_t>(position() - start) + (expansion() - expansionAtStart);
  c.complete = true;
}

AMFValue AMF0Serializer::deserialize() {
  const uint8_t marker = readUInt8();
  if (marker == movieclip || marker == recordset || marker > avmplush) return AMFValue();
  setPosition(position() - 1);
  switch (marker) {
    case number:
      return deserializeNumber();
    case boolean:
      return deserializeBoolean();
    case string:
    case longString:
      return deserializeString();
    case object:
      return deserializeObject();
    case null:
      setPosition(position() + 1);
      return AMFValue();
    case undefined:
      setPosition(position() + 1);
      return AMFUndefined{};
    case reference:
      return readReference();
    case ecmaArray:
      return deserializeECMAArray();
    case strictArray:
      return deserializeStrictArray();
    case date:
      return deserializeDate();
    case xmlDocument: {
      expect(xmlDocument);
      const uint32_t n = readUInt32();
      return AMFXMLDocument{readUTF8Bytes(n)};
    }
    case typedObject: {
      DepthGuard guard(*this);
      const int64_t start = position();
      const uint64_t exp0 = expansion();
      expect(typedObject);
      const size_t index = beginComplex();
      AMFTypedObject result;
      result.typeName = readUTF8();
      readProperties(result.data);
      AMFValue value(std::move(result));
      endComplex(index, value, start, exp0);
      return value;
    }
    case avmplush:
      return readAMF3();
    default:  // object end, unsupported: nothing follows the marker
      setPosition(position() + 1);
      return AMFValue();
  }
}

AMFValue AMF0Serializer::readReference() {
  expect(reference);
  const uint16_t index = readUInt16();
  if (index >= complexes_.size()) throw AMFSerializerError(AMFSerializerError::Kind::outOfIndex);
  const Complex& c = complexes_[index];
  // A value that refers to itself cannot be copied into itself.
  if (!c.complete) return AMFValue();
  chargeExpansion(c.weight);
  return c.value;
}

AMFValue AMF0Serializer::readAMF3() {
  expect(avmplush);
  const int64_t start = position();
  AMF3Serializer amf3(takeData());
  amf3.setPosition(start);
  amf3.inheritLimits(*this);
  const uint64_t exp0 = amf3.expansion();
  AMFValue value;
  try {
    value = amf3.deserialize();
  } catch (...) {
    const int64_t at = amf3.position();
    reset(amf3.takeData(), at);
    throw;
  }
  const int64_t at = amf3.position();
  addExpansion(amf3.expansion() - exp0);
  reset(amf3.takeData(), at);
  return value;
}

std::string AMF0Serializer::deserializeString() {
  const uint8_t marker = readUInt8();
  if (marker == string) return readUTF8Bytes(readUInt16());
  if (marker == longString) return readUTF8Bytes(readUInt32());
  if (marker == avmplush) {
    setPosition(position() - 1);
    AMFValue value = readAMF3();
    if (auto text = value.string()) return *text;
  }
  return std::string();
}

double AMF0Serializer::deserializeNumber() {
  expect(number);
  return readDouble();
}

int64_t AMF0Serializer::deserializeInt() {
  const double d = deserializeNumber();
  // [-2^63, 2^63) is exactly the range that truncates into int64.
  if (!std::isfinite(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
    throw AMFSerializerError(kDeserialize);
  return static_cast<int64_t>(d);
}

bool AMF0Serializer::deserializeBoolean() {
  expect(boolean);
  return readUInt8() == 1;
}

AMFDate AMF0Serializer::deserializeDate() {
  expect(date);
  const double ms = readDouble();
  readUInt16();  // time zone, always 0
  return AMFDate{ms / 1000.0};
}

void AMF0Serializer::readProperties(AMFObject& into) {
  while (true) {
    std::string key = readUTF8();
    if (key.empty()) {
      readUInt8();  // object end
      return;
    }
    AMFValue value = deserialize();
    into.insert_or_assign(std::move(key), std::move(value));
  }
}

AMFObject AMF0Serializer::deserializeObject() {
  const uint8_t marker = readUInt8();
  if (marker == null) return AMFObject();
  if (marker != object) throw AMFSerializerError(kDeserialize);
  DepthGuard guard(*this);
  const int64_t start = position() - 1;
  const uint64_t exp0 = expansion();
  const size_t index = beginComplex();
  AMFObject result;
  readProperties(result);
  endComplex(index, result, start, exp0);
  return result;
}

AMFArray AMF0Serializer::deserializeECMAArray() {
  const uint8_t marker = readUInt8();
  if (marker == null) return AMFArray();
  if (marker != ecmaArray) throw AMFSerializerError(kDeserialize);
  DepthGuard guard(*this);
  const int64_t start = position() - 1;
  const uint64_t exp0 = expansion();
  const size_t index = beginComplex();
  const uint32_t count = readUInt32();
  // The count is only announced: pre-fill no more than the payload could hold
  // and the payload's allowance for expansion.
  uint64_t prefill = std::min<uint64_t>(count, static_cast<uint64_t>(std::max<int64_t>(bytesAvailable(), 0)));
  prefill = std::min<uint64_t>(prefill, remainingExpansion() / sizeof(AMFValue));
  chargeExpansion(prefill * sizeof(AMFValue));
  AMFArray result(static_cast<size_t>(prefill));
  while (true) {
    std::string key = readUTF8();
    if (key.empty()) {
      readUInt8();  // object end
      break;
    }
    result.set(std::string_view(key), deserialize());
  }
  endComplex(index, result, start, exp0);
  return result;
}

AMFList AMF0Serializer::deserializeStrictArray() {
  expect(strictArray);
  DepthGuard guard(*this);
  const int64_t start = position() - 1;
  const uint64_t exp0 = expansion();
  const size_t index = beginComplex();
  const uint32_t count = readUInt32();
  // Every element takes at least one byte.
  if (count > static_cast<uint64_t>(std::max<int64_t>(bytesAvailable(), 0))) throw ByteArray::Error(ByteArray::Error::Kind::eof);
  AMFList result;
  result.reserve(count);
  for (uint32_t i = 0; i < count; ++i) result.push_back(deserialize());
  endComplex(index, result, start, exp0);
  return result;
}

}  // namespace rtmpmedley
