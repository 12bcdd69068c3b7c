#pragma once
// What the AMF0 and AMF3 serializers share: the byte array they read and
// write, the AMF3 reference tables, the nesting limit and the memory budget
// that bounds what reading one payload may store.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
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
  // Reading one payload may store this many bytes of values per payload byte,
  // at least kMinBudget and never more than kMaxBudget; past it the payload is
  // refused with the deserialize error. A reference is charged what its value
  // cost to read, as if it were copied, so that walking what was read (printing,
  // writing it again) stays within the same bound.
  static constexpr uint64_t kBudgetPerByte = 8;
  static constexpr uint64_t kMinBudget = 256 * 1024;
  static constexpr uint64_t kMaxBudget = 64 * 1024 * 1024;

  using ByteArray::ByteArray;

  AMFReference reference;

  // Writes one complete value at the position.
  virtual AMFSerializer& serialize(const AMFValue& value) = 0;
  // Reads one value; throws ByteArray::Error or AMFSerializerError.
  virtual AMFValue deserialize() = 0;

  // Bytes charged by the reads so far, and what this payload may be charged.
  uint64_t charged() const { return charged_; }
  uint64_t budget() const;
  // Continues the nesting depth and the charge of the serializer that reads the same payload.
  void inheritLimits(const AMFSerializer& other) {
    depth_ = other.depth_;
    charged_ = other.charged_;
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

  // What storing a value costs, as allocated: an element slot of a list, a
  // named entry of a map, a shared node, a table row (twice its size, for the
  // table's spare room), and a text's bytes beyond the inline buffer.
  static constexpr uint64_t kSlotBytes = sizeof(AMFValue);
  static uint64_t entryBytes(std::string_view key) {
    return sizeof(std::pair<const std::string, AMFValue>) + 32 + textBytes(key.size());
  }
  template <typename T>
  static constexpr uint64_t nodeBytes() { return sizeof(T) + 16; }
  template <typename T>
  static constexpr uint64_t rowBytes() { return 2 * sizeof(T); }
  static uint64_t textBytes(size_t size) { return size > 15 ? size + 1 : 0; }

  // Adds to the payload's charge; past the budget throws deserialize.
  void charge(uint64_t bytes);
  uint64_t remaining() const { return charged_ >= budget() ? 0 : budget() - charged_; }
  // The text read in a shared node, charged.
  AMFValue chargedText(std::string text);
  // Ensures room for `count` more elements in a list, charging any new storage.
  void reserveSlots(AMFList& list, uint64_t count);
  // Stores an ECMA-array element the way AMFArray::set does, charging the
  // dense part's growth or the new named entry first.
  void storeElement(AMFArray& array, std::string_view key, AMFValue value);
  // Stores a map member, charging a new entry.
  void storeMember(AMFObject& object, std::string key, AMFValue value);

 private:
  int depth_ = 0;
  uint64_t charged_ = 0;
};

}  // namespace rtmpmedley
