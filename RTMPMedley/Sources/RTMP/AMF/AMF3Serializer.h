#pragma once
// Action Message Format version 3 with its reference tables: a text or a
// complex value that occurs again in one payload is written as a short
// back-reference. Values are written and read in the published layout
// (arrays with their named part first, anonymous dynamic objects with inline
// traits), so that peers read what is written here and the other way round.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "RTMPMedley/Sources/RTMP/AMF/AMFSerializer.h"

namespace rtmpmedley {

class AMF3Serializer : public AMFSerializer {
 public:
  enum Marker : uint8_t {
    undefined = 0x00,
    null = 0x01,
    boolFalse = 0x02,
    boolTrue = 0x03,
    integer = 0x04,
    number = 0x05,
    string = 0x06,
    xmlDocument = 0x07,
    date = 0x08,
    array = 0x09,
    object = 0x0A,
    xml = 0x0B,
    byteArray = 0x0C,
    vectorInt = 0x0D,
    vectorUInt = 0x0E,
    vectorNumber = 0x0F,
    vectorObject = 0x10,
    dictionary = 0x11,
  };

  // The largest value a U29 holds.
  static constexpr uint32_t kMaxU29 = 0x1FFFFFFF;

  using AMFSerializer::AMFSerializer;

  AMF3Serializer& serialize(const AMFValue& value) override;
  AMFValue deserialize() override;

  // Variable-length 29-bit unsigned integer; larger values throw std::length_error.
  AMF3Serializer& serializeU29(uint32_t value);
  uint32_t deserializeU29();
  // A text body (no marker), through the strings table.
  AMF3Serializer& serializeUTF8(std::string_view text);
  std::string deserializeUTF8();

 private:
  // Index of an equal value already written inline, or -1.
  int64_t findObject(const AMFValue& value) const;
  // Writes the reference and returns true when an equal value was written
  // before; otherwise enters the value and returns false.
  bool writeReferenceOrEnter(const AMFValue& value);
  void writeInlineLength(size_t length);

  // An object entered in the reference table before its members are read,
  // so that their references count it.
  struct Slot {
    size_t index;
    uint64_t chargedAtStart;
  };
  Slot enterObject();
  void completeObject(const Slot& slot, const AMFValue& value);
  // The value an object reference names, sharing its node.
  AMFValue referencedObject(uint32_t u29);
  // Throws eof unless `count` elements of `elementSize` bytes fit in the rest.
  uint32_t checkedCount(uint32_t count, size_t elementSize);

  // Readers of what follows the marker.
  AMFValue readArray();
  AMFValue readObject();
  AMFValue readDate();
  AMFValue readXML(bool document);
  AMFValue readByteArray();
  AMFValue readVector(uint8_t marker);
  AMFValue readDictionary();

  struct ObjectInfo {
    // What reading it cost, charged again for each reference to it.
    uint64_t weight = 0;
    bool complete = false;
  };
  std::vector<ObjectInfo> objectInfo_;
};

}  // namespace rtmpmedley
