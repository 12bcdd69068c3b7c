#pragma once
// What the AMF0 and AMF3 serializers share: the byte array they read and
// write, the AMF3 reference tables, the nesting limit and the budget that
// bounds how much reference expansion a payload may cause.
#include <cstdint>
#include <string>
#include <vector>

#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"
#include "RTMPMedley/Sources/RTMP/AMF/ByteArray.h"

namespace rtmpmedley {

// An AMF3 class description: its name, sealed member names and whether
// further members follow by name.
struct AMF3Traits {
  std::string className;
  std::vector<std::string> sealedNames;
  bool dynamic = false;
};

// The back-reference tables of one serializer, counted from the start of
// everything it has written or read.
class AMFReference {
 public:
  std::vector<std::string> strings;
  std::vector<AMFValue> objects;
  std::vector<AMF3Traits> traits;
};

class AMFSerializer : public ByteArray {
 public:
  // Deeper values are refused when read.
  static constexpr int kMaxDepth = 64;

  using ByteArray::ByteArray;

  AMFReference reference;

  // Writes one complete value at the position.
  virtual AMFSerializer& serialize(const AMFValue& value) = 0;
  // Reads one value; throws ByteArray::Error or AMFSerializerError.
  virtual AMFValue deserialize() = 0;

  // Bytes of copies made by references so far.
  uint64_t expansion() const { return expansion_; }
  // Continues the nesting depth and expansion of the serializer whose payload this one reads on.
  void inheritLimits(const AMFSerializer& outer) {
    depth_ = outer.depth_;
    expansion_ = outer.expansion_;
  }

 protected:
  // Counts one nesting level while alive; too deep throws deserialize.
  class DepthGuard {
   public:
    explicit DepthGuard(AMFSerializer& s);
    ~DepthGuard() { --s_.depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

   private:
    AMFSerializer& s_;
  };

  // A reference copies an earlier value; the copies of one payload may not add
  // up to much more than the payload itself.
  void chargeExpansion(uint64_t bytes);
  uint64_t remainingExpansion() const;
  void addExpansion(uint64_t bytes) { expansion_ += bytes; }

 private:
  int depth_ = 0;
  uint64_t expansion_ = 0;
  uint64_t budget() const;
};

}  // namespace rtmpmedley
