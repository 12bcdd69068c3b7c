#pragma once
// Action Message Format version 0: the encoding of RTMP commands, data and
// shared-object messages. An AMF3 value behind the switch marker is read with
// the AMF3 rules; references (0x07) resolve to the earlier complex value.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "RTMPMedley/Sources/RTMP/AMF/AMFSerializer.h"

namespace rtmpmedley {

class AMF0Serializer : public AMFSerializer {
 public:
  enum Marker : uint8_t {
    number = 0x00,
    boolean = 0x01,
    string = 0x02,
    object = 0x03,
    movieclip = 0x04,
    null = 0x05,
    undefined = 0x06,
    reference = 0x07,
    ecmaArray = 0x08,
    objectEnd = 0x09,
    strictArray = 0x0A,
    date = 0x0B,
    longString = 0x0C,
    unsupported = 0x0D,
    recordset = 0x0E,
    xmlDocument = 0x0F,
    typedObject = 0x10,
    avmplush = 0x11,
  };

  using AMFSerializer::AMFSerializer;

  AMF0Serializer& serialize(const AMFValue& value) override;
  // A text body without marker: 16-bit length (32-bit when `isLong`), then
  // the UTF-8 bytes. A text too long for its length throws std::length_error.
  AMF0Serializer& serializeUTF8(std::string_view text, bool isLong);

  AMFValue deserialize() override;
  // 0x02, 0x0C or an AMF3 text; any other marker is consumed and reads as the empty text.
  std::string deserializeString();
  // A number truncated toward zero; non-finite or out-of-range numbers throw deserialize.
  int64_t deserializeInt();
  double deserializeNumber();
  bool deserializeBoolean();
  // Null reads as the empty map.
  AMFObject deserializeObject();
  // Null reads as the empty array.
  AMFArray deserializeECMAArray();
  AMFList deserializeStrictArray();
  AMFDate deserializeDate();

 private:
  struct Complex {
    AMFValue value;
    // What reading it cost, charged again for each reference to it.
    uint64_t weight = 0;
    bool complete = false;
  };
  size_t beginComplex();
  void endComplex(size_t index, const AMFValue& value, uint64_t chargedAtStart);
  void readProperties(AMFObject& into);
  // Readers of the body after the marker.
  AMFValue readObject();
  AMFValue readTypedObject();
  AMFValue readECMAArray();
  AMFValue readStrictArray();
  AMFValue readDate();
  AMFValue readReference();
  // Reads the switch marker and one AMF3 value.
  AMFValue readAMF3();
  void expect(uint8_t marker);

  std::vector<Complex> complexes_;
};

}  // namespace rtmpmedley
