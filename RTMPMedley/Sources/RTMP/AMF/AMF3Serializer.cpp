#include "RTMPMedley/Sources/RTMP/AMF/AMF3Serializer.h"

#include <bit>
#include <stdexcept>

namespace rtmpmedley {

namespace {
constexpr auto kDeserialize = AMFSerializerError::Kind::deserialize;
constexpr auto kOutOfIndex = AMFSerializerError::Kind::outOfIndex;
}  // namespace

// U29 and texts

AMF3Serializer& AMF3Serializer::serializeU29(uint32_t v) {
  if (v > kMaxU29) throw std::length_error("value does not fit a U29");
  if (v <= 0x7F) {
    writeUInt8(uint8_t(v));
  } else if (v <= 0x3FFF) {
    const uint8_t b[2] = {uint8_t((v >> 7) | 0x80), uint8_t(v & 0x7F)};
    writeBytes(b);
  } else if (v <= 0x1FFFFF) {
    const uint8_t b[3] = {uint8_t((v >> 14) | 0x80), uint8_t(((v >> 7) & 0x7F) | 0x80), uint8_t(v & 0x7F)};
    writeBytes(b);
  } else {
    const uint8_t b[4] = {uint8_t(((v >> 22) & 0x7F) | 0x80), uint8_t(((v >> 15) & 0x7F) | 0x80),
                          uint8_t(((v >> 8) & 0x7F) | 0x80), uint8_t(v & 0xFF)};
    writeBytes(b);
  }
  return *this;
}

uint32_t AMF3Serializer::deserializeU29() {
  uint32_t result = 0;
  for (int i = 0; i < 3; ++i) {
    const uint8_t b = readUInt8();
    result = (result << 7) | (b & 0x7F);
    if (!(b & 0x80)) return result;
  }
  return (result << 8) | readUInt8();
}

void AMF3Serializer::writeInlineLength(size_t length) {
  if (length > (kMaxU29 >> 1)) throw std::length_error("too long for an AMF3 length");
  serializeU29(static_cast<uint32_t>(length << 1 | 1));
}

AMF3Serializer& AMF3Serializer::serializeUTF8(std::string_view text) {
  if (text.empty()) {
    writeUInt8(0x01);
    return *this;
  }
  auto& strings = reference.strings;
  for (size_t i = 0; i < strings.size(); ++i) {
    if (strings[i] == text) {
      serializeU29(static_cast<uint32_t>(i << 1));
      return *this;
    }
  }
  writeInlineLength(text.size());
  strings.emplace_back(text);
  writeUTF8Bytes(text);
  return *this;
}

std::string AMF3Serializer::deserializeUTF8() {
  const uint32_t v = deserializeU29();
  if (!(v & 1)) {
    const uint32_t index = v >> 1;
    if (index >= reference.strings.size()) throw AMFSerializerError(kOutOfIndex);
    charge(textBytes(reference.strings[index].size()));
    return reference.strings[index];
  }
  std::string text = readUTF8Bytes(v >> 1);
  if (!text.empty()) {
    charge(rowBytes<std::string>() + textBytes(text.size()));
    reference.strings.push_back(text);
  }
  return text;
}

// Writing

int64_t AMF3Serializer::findObject(const AMFValue& value) const {
  const auto& objects = reference.objects;
  for (size_t i = 0; i < objects.size(); ++i)
    if (objects[i] == value) return static_cast<int64_t>(i);
  return -1;
}

bool AMF3Serializer::writeReferenceOrEnter(const AMFValue& value) {
  const int64_t index = findObject(value);
  if (index >= 0) {
    serializeU29(static_cast<uint32_t>(index << 1));
    return true;
  }
  reference.objects.push_back(value);
  objectInfo_.push_back({0, true});
  return false;
}

AMF3Serializer& AMF3Serializer::serialize(const AMFValue& value) {
  value.visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          writeUInt8(null);
        } else if constexpr (std::is_same_v<T, bool>) {
          writeUInt8(v ? boolTrue : boolFalse);
        } else if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, double>) {
          writeUInt8(number).writeDouble(static_cast<double>(v));
        } else if constexpr (std::is_same_v<T, std::string>) {
          writeUInt8(string);
          serializeUTF8(v);
        } else if constexpr (std::is_same_v<T, AMFDate>) {
          writeUInt8(date);
          if (writeReferenceOrEnter(value)) return;
          writeUInt8(0x01).writeDouble(v.timeIntervalSince1970 * 1000.0);
        } else if constexpr (std::is_same_v<T, AMFArray>) {
          writeUInt8(array);
          if (writeReferenceOrEnter(value)) return;
          writeInlineLength(v.data.size());
          for (const auto& [k, e] : v.dict) {
            // The empty key ends the named part; such an entry cannot be written.
            if (k.empty()) continue;
            serializeUTF8(k);
            serialize(e);
          }
          writeUInt8(0x01);
          for (const auto& e : v.data) serialize(e);
        } else if constexpr (std::is_same_v<T, AMFList>) {
          writeUInt8(array);
          if (writeReferenceOrEnter(value)) return;
          writeInlineLength(v.size());
          writeUInt8(0x01);
          for (const auto& e : v) serialize(e);
        } else if constexpr (std::is_same_v<T, AMFObject> || std::is_same_v<T, AMFTypedObject>) {
          writeUInt8(object);
          if (writeReferenceOrEnter(value)) return;
          // Inline traits of a dynamic class without sealed members.
          writeUInt8(0x0B);
          const AMFObject* members;
          if constexpr (std::is_same_v<T, AMFObject>) {
            serializeUTF8("");
            members = &v;
          } else {
            serializeUTF8(v.typeName);
            members = &v.data;
          }
          for (const auto& [k, e] : *members) {
            if (k.empty()) continue;
            serializeUTF8(k);
            serialize(e);
          }
          writeUInt8(0x01);
        } else if constexpr (std::is_same_v<T, AMFXMLDocument> || std::is_same_v<T, AMFXML>) {
          writeUInt8(std::is_same_v<T, AMFXML> ? xml : xmlDocument);
          if (writeReferenceOrEnter(value)) return;
          writeInlineLength(v.data.size());
          writeUTF8Bytes(v.data);
        } else if constexpr (std::is_same_v<T, medley::Data>) {
          writeUInt8(byteArray);
          if (writeReferenceOrEnter(value)) return;
          writeInlineLength(v.size());
          writeBytes(v);
        } else if constexpr (std::is_same_v<T, AMFVectorInt> || std::is_same_v<T, AMFVectorUInt>) {
          writeUInt8(std::is_same_v<T, AMFVectorInt> ? vectorInt : vectorUInt);
          if (writeReferenceOrEnter(value)) return;
          writeInlineLength(v.size());
          writeUInt8(0);  // not fixed
          for (auto e : v) writeUInt32(static_cast<uint32_t>(e));
        } else if constexpr (std::is_same_v<T, AMFVectorDouble>) {
          writeUInt8(vectorNumber);
          if (writeReferenceOrEnter(value)) return;
          writeInlineLength(v.size());
          writeUInt8(0);
          for (auto e : v) writeDouble(e);
        } else {
          writeUInt8(undefined);
        }
      });
  return *this;
}

// Reading

AMF3Serializer::Slot AMF3Serializer::enterObject() {
  charge(rowBytes<AMFValue>() + rowBytes<ObjectInfo>());
  reference.objects.emplace_back();
  objectInfo_.push_back({});
  return Slot{reference.objects.size() - 1, charged()};
}

void AMF3Serializer::completeObject(const Slot& slot, const AMFValue& value) {
  reference.objects[slot.index] = value;
  objectInfo_[slot.index].weight = charged() - slot.chargedAtStart;
  objectInfo_[slot.index].complete = true;
}

AMFValue AMF3Serializer::referencedObject(uint32_t u29) {
  const uint32_t index = u29 >> 1;
  if (index >= reference.objects.size()) throw AMFSerializerError(kOutOfIndex);
  if (index < objectInfo_.size()) {
    if (!objectInfo_[index].complete) return AMFValue();  // a value inside itself
    charge(objectInfo_[index].weight);
  }
  return reference.objects[index];
}

uint32_t AMF3Serializer::checkedCount(uint32_t count, size_t elementSize) {
  if (static_cast<uint64_t>(count) * elementSize > static_cast<uint64_t>(std::max<int64_t>(bytesAvailable(), 0)))
    throw ByteArray::Error(ByteArray::Error::Kind::eof);
  return count;
}

AMFValue AMF3Serializer::deserialize() {
  const uint8_t marker = readUInt8();
  switch (marker) {
    case undefined:
      return AMFUndefined{};
    case null:
      return AMFValue();
    case boolFalse:
      return false;
    case boolTrue:
      return true;
    case integer: {
      const uint32_t u = deserializeU29();
      // A 29-bit two's complement number.
      return static_cast<int64_t>(u & 0x10000000 ? int64_t(u) - 0x20000000 : int64_t(u));
    }
    case number:
      return readDouble();
    case string: {
      std::string text = deserializeUTF8();
      return chargedText(std::move(text));
    }
    case xmlDocument:
      return readXML(true);
    case date:
      return readDate();
    case array:
      return readArray();
    case object:
      return readObject();
    case xml:
      return readXML(false);
    case byteArray:
      return readByteArray();
    case vectorInt:
    case vectorUInt:
    case vectorNumber:
    case vectorObject:
      return readVector(marker);
    case dictionary:
      return readDictionary();
    default:
      throw AMFSerializerError(kDeserialize);
  }
}

AMFValue AMF3Serializer::readDate() {
  const uint32_t u = deserializeU29();
  if (!(u & 1)) {
    AMFValue v = referencedObject(u);
    if (!v.is<AMFDate>()) throw AMFSerializerError(kDeserialize);
    return v;
  }
  Slot slot = enterObject();
  AMFValue value(AMFDate{readDouble() / 1000.0});
  completeObject(slot, value);
  return value;
}

AMFValue AMF3Serializer::readXML(bool document) {
  const uint32_t u = deserializeU29();
  if (!(u & 1)) {
    AMFValue v = referencedObject(u);
    if (document ? !v.is<AMFXMLDocument>() : !v.is<AMFXML>()) throw AMFSerializerError(kDeserialize);
    return v;
  }
  Slot slot = enterObject();
  std::string text = readUTF8Bytes(u >> 1);
  charge(nodeBytes<AMFXML>() + textBytes(text.size()));
  AMFValue value = document ? AMFValue(AMFXMLDocument{std::move(text)}) : AMFValue(AMFXML{std::move(text)});
  completeObject(slot, value);
  return value;
}

AMFValue AMF3Serializer::readByteArray() {
  const uint32_t u = deserializeU29();
  if (!(u & 1)) {
    AMFValue v = referencedObject(u);
    if (!v.is<medley::Data>()) throw AMFSerializerError(kDeserialize);
    return v;
  }
  Slot slot = enterObject();
  const uint32_t size = checkedCount(u >> 1, 1);
  charge(nodeBytes<medley::Data>() + size);
  AMFValue value(readBytes(size));
  completeObject(slot, value);
  return value;
}

AMFValue AMF3Serializer::readArray() {
  const uint32_t u = deserializeU29();
  if (!(u & 1)) {
    AMFValue v = referencedObject(u);
    if (!v.isNull() && !v.is<AMFArray>()) throw AMFSerializerError(kDeserialize);
    return v;
  }
  DepthGuard guard(*this);
  Slot slot = enterObject();
  charge(nodeBytes<AMFArray>());
  const uint32_t dense = u >> 1;
  AMFArray result;
  while (true) {
    std::string key = deserializeUTF8();
    if (key.empty()) break;
    AMFValue e = deserialize();
    storeMember(result.dict, std::move(key), std::move(e));
  }
  reserveSlots(result.data, checkedCount(dense, 1));
  for (uint32_t i = 0; i < dense; ++i) result.data.push_back(deserialize());
  AMFValue value(std::move(result));
  completeObject(slot, value);
  return value;
}

AMFValue AMF3Serializer::readObject() {
  const uint32_t u = deserializeU29();
  if (!(u & 1)) {
    AMFValue v = referencedObject(u);
    if (!v.isNull() && !v.is<AMFObject>() && !v.is<AMFTypedObject>()) throw AMFSerializerError(kDeserialize);
    return v;
  }
  DepthGuard guard(*this);
  // The traits stay in their table, which may grow while the members are read.
  size_t traitsIndex;
  if (!(u & 2)) {
    traitsIndex = u >> 2;
    if (traitsIndex >= reference.traits.size()) throw AMFSerializerError(kOutOfIndex);
  } else if (u & 4) {
    // Externalizable: the class alone knows its layout.
    throw AMFSerializerError(kDeserialize);
  } else {
    AMF3Traits traits;
    traits.dynamic = (u & 8) != 0;
    const uint32_t sealed = checkedCount(u >> 4, 1);
    traits.className = deserializeUTF8();
    charge(rowBytes<AMF3Traits>() + textBytes(traits.className.size()) + sealed * sizeof(std::string));
    traits.sealedNames.reserve(sealed);
    for (uint32_t i = 0; i < sealed; ++i) {
      traits.sealedNames.push_back(deserializeUTF8());
      charge(textBytes(traits.sealedNames.back().size()));
    }
    reference.traits.push_back(std::move(traits));
    traitsIndex = reference.traits.size() - 1;
  }
  Slot slot = enterObject();
  const std::string className = reference.traits[traitsIndex].className;
  const size_t sealedCount = reference.traits[traitsIndex].sealedNames.size();
  const bool dynamic = reference.traits[traitsIndex].dynamic;
  charge(className.empty() ? nodeBytes<AMFObject>() : nodeBytes<AMFTypedObject>() + textBytes(className.size()));
  AMFObject members;
  for (size_t i = 0; i < sealedCount; ++i) {
    AMFValue e = deserialize();
    storeMember(members, reference.traits[traitsIndex].sealedNames[i], std::move(e));
  }
  if (dynamic) {
    while (true) {
      std::string key = deserializeUTF8();
      if (key.empty()) break;
      AMFValue e = deserialize();
      storeMember(members, std::move(key), std::move(e));
    }
  }
  AMFValue value = className.empty() ? AMFValue(std::move(members))
                                     : AMFValue(AMFTypedObject{className, std::move(members)});
  completeObject(slot, value);
  return value;
}

AMFValue AMF3Serializer::readVector(uint8_t marker) {
  const uint32_t u = deserializeU29();
  if (!(u & 1)) {
    AMFValue v = referencedObject(u);
    const bool ok = v.isNull() || (marker == vectorInt && v.is<AMFVectorInt>()) ||
                    (marker == vectorUInt && v.is<AMFVectorUInt>()) ||
                    (marker == vectorNumber && v.is<AMFVectorDouble>()) ||
                    (marker == vectorObject && v.is<AMFList>());
    if (!ok) throw AMFSerializerError(kDeserialize);
    return v;
  }
  const uint32_t count = u >> 1;
  readUInt8();  // fixed length flag
  Slot slot = enterObject();
  AMFValue value;
  if (marker == vectorInt) {
    charge(nodeBytes<AMFVectorInt>() + uint64_t{4} * checkedCount(count, 4));
    AMFVectorInt v(count);
    for (auto& e : v) e = readInt32();
    value = std::move(v);
  } else if (marker == vectorUInt) {
    charge(nodeBytes<AMFVectorUInt>() + uint64_t{4} * checkedCount(count, 4));
    AMFVectorUInt v(count);
    for (auto& e : v) e = readUInt32();
    value = std::move(v);
  } else if (marker == vectorNumber) {
    charge(nodeBytes<AMFVectorDouble>() + uint64_t{8} * checkedCount(count, 8));
    AMFVectorDouble v(count);
    for (auto& e : v) e = readDouble();
    value = std::move(v);
  } else {
    DepthGuard guard(*this);
    deserializeUTF8();  // element type name
    charge(nodeBytes<AMFList>());
    AMFList v;
    reserveSlots(v, checkedCount(count, 1));
    for (uint32_t i = 0; i < count; ++i) v.push_back(deserialize());
    value = std::move(v);
  }
  completeObject(slot, value);
  return value;
}

AMFValue AMF3Serializer::readDictionary() {
  const uint32_t u = deserializeU29();
  if (!(u & 1)) {
    referencedObject(u);
    return AMFValue();
  }
  DepthGuard guard(*this);
  const uint32_t count = checkedCount(u >> 1, 2);
  readUInt8();  // weak keys flag
  Slot slot = enterObject();
  // Keys may be of any kind, which the value model cannot hold; the entries are
  // read so that what follows stays in step.
  for (uint32_t i = 0; i < count; ++i) {
    deserialize();
    deserialize();
  }
  completeObject(slot, AMFValue());
  return AMFValue();
}

}  // namespace rtmpmedley
