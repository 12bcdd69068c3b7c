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
  value.visit(
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
      });
  return *this;
}

// Reading

void AMF0Serializer::expect(uint8_t marker) {
  if (readUInt8() != marker) throw AMFSerializerError(kDeserialize);
}

size_t AMF0Serializer::beginComplex() {
  charge(rowBytes<Complex>());
  complexes_.push_back({});
  return complexes_.size() - 1;
}

void AMF0Serializer::endComplex(size_t index, const AMFValue& value, uint64_t chargedAtStart) {
  Complex& c = complexes_[index];
  c.value = value;
  c.weight = charged() - chargedAtStart;
  c.complete = true;
}

AMFValue AMF0Serializer::deserialize() {
  const uint8_t marker = readUInt8();
  switch (marker) {
    case number:
      return readDouble();
    case boolean:
      return readUInt8() == 1;
    case string:
      return chargedText(readUTF8Bytes(readUInt16()));
    case longString:
      return chargedText(readUTF8Bytes(readUInt32()));
    case object:
      return readObject();
    case null:
      return AMFValue();
    case undefined:
      return AMFUndefined{};
    case reference:
      return readReference();
    case ecmaArray:
      return readECMAArray();
    case strictArray:
      return readStrictArray();
    case date:
      return readDate();
    case xmlDocument: {
      std::string text = readUTF8Bytes(readUInt32());
      charge(nodeBytes<AMFXMLDocument>() + textBytes(text.size()));
      return AMFXMLDocument{std::move(text)};
    }
    case typedObject:
      return readTypedObject();
    case avmplush:
      setPosition(position() - 1);
      return readAMF3();
    default:  // object end, unsupported, movie clip, record set, unknown: nothing follows the marker
      return AMFValue();
  }
}

AMFValue AMF0Serializer::readReference() {
  const uint16_t index = readUInt16();
  if (index >= complexes_.size()) throw AMFSerializerError(AMFSerializerError::Kind::outOfIndex);
  const Complex& c = complexes_[index];
  // A value that refers to itself cannot be held inside itself.
  if (!c.complete) return AMFValue();
  charge(c.weight);
  return c.value;
}

AMFValue AMF0Serializer::readAMF3() {
  expect(avmplush);
  const int64_t start = position();
  AMF3Serializer amf3(takeData());
  amf3.setPosition(start);
  amf3.inheritLimits(*this);
  AMFValue value;
  try {
    value = amf3.deserialize();
  } catch (...) {
    const int64_t at = amf3.position();
    reset(amf3.takeData(), at);
    throw;
  }
  const int64_t at = amf3.position();
  inheritLimits(amf3);
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
  return *readDate().get<AMFDate>();
}

AMFValue AMF0Serializer::readDate() {
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
    storeMember(into, std::move(key), std::move(value));
  }
}

AMFValue AMF0Serializer::readObject() {
  DepthGuard guard(*this);
  const uint64_t charged0 = charged();
  const size_t index = beginComplex();
  charge(nodeBytes<AMFObject>());
  AMFObject members;
  readProperties(members);
  AMFValue value(std::move(members));
  endComplex(index, value, charged0);
  return value;
}

AMFValue AMF0Serializer::readTypedObject() {
  DepthGuard guard(*this);
  const uint64_t charged0 = charged();
  const size_t index = beginComplex();
  AMFTypedObject result;
  result.typeName = readUTF8();
  charge(nodeBytes<AMFTypedObject>() + textBytes(result.typeName.size()));
  readProperties(result.data);
  AMFValue value(std::move(result));
  endComplex(index, value, charged0);
  return value;
}

AMFValue AMF0Serializer::readECMAArray() {
  DepthGuard guard(*this);
  const uint64_t charged0 = charged();
  const size_t index = beginComplex();
  charge(nodeBytes<AMFArray>());
  const uint32_t count = readUInt32();
  // The count is only announced: pre-fill no more than the rest of the
  // payload could address, within what the budget has left.
  uint64_t prefill = std::min<uint64_t>(count, static_cast<uint64_t>(std::max<int64_t>(bytesAvailable(), 0)));
  prefill = std::min<uint64_t>(prefill, remaining() / kSlotBytes);
  charge(prefill * kSlotBytes);
  AMFArray result(static_cast<size_t>(prefill));
  while (true) {
    std::string key = readUTF8();
    if (key.empty()) {
      readUInt8();  // object end
      break;
    }
    AMFValue element = deserialize();
    storeElement(result, key, std::move(element));
  }
  AMFValue value(std::move(result));
  endComplex(index, value, charged0);
  return value;
}

AMFValue AMF0Serializer::readStrictArray() {
  DepthGuard guard(*this);
  const uint64_t charged0 = charged();
  const size_t index = beginComplex();
  charge(nodeBytes<AMFList>());
  const uint32_t count = readUInt32();
  // Every element takes at least one byte.
  if (count > static_cast<uint64_t>(std::max<int64_t>(bytesAvailable(), 0)))
    throw ByteArray::Error(ByteArray::Error::Kind::eof);
  AMFList result;
  reserveSlots(result, count);
  for (uint32_t i = 0; i < count; ++i) result.push_back(deserialize());
  AMFValue value(std::move(result));
  endComplex(index, value, charged0);
  return value;
}

AMFObject AMF0Serializer::deserializeObject() {
  const uint8_t marker = readUInt8();
  if (marker == null) return AMFObject();
  if (marker != object) throw AMFSerializerError(kDeserialize);
  return *readObject().object();
}

AMFArray AMF0Serializer::deserializeECMAArray() {
  const uint8_t marker = readUInt8();
  if (marker == null) return AMFArray();
  if (marker != ecmaArray) throw AMFSerializerError(kDeserialize);
  return *readECMAArray().get<AMFArray>();
}

AMFList AMF0Serializer::deserializeStrictArray() {
  expect(strictArray);
  return *readStrictArray().get<AMFList>();
}

}  // namespace rtmpmedley
