#include "RTMPMedley/Sources/RTMP/AMF/AMFSerializer.h"

#include <algorithm>

namespace rtmpmedley {

AMFSerializer::DepthGuard::DepthGuard(AMFSerializer& s) : s_(s) {
  if (s_.depth_ >= kMaxDepth) throw AMFSerializerError(AMFSerializerError::Kind::deserialize);
  ++s_.depth_;
}

uint64_t AMFSerializer::budget() const {
  const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(length(), 0));
  return std::min(kMaxBudget, std::max(kMinBudget, kBudgetPerByte * size));
}

void AMFSerializer::charge(uint64_t bytes) {
  charged_ += bytes;
  if (charged_ > budget()) throw AMFSerializerError(AMFSerializerError::Kind::deserialize);
}

AMFValue AMFSerializer::chargedText(std::string text) {
  charge(nodeBytes<std::string>() + textBytes(text.size()));
  return AMFValue(std::move(text));
}

void AMFSerializer::reserveSlots(AMFList& list, uint64_t count) {
  const uint64_t needed = list.size() + count;
  if (needed <= list.capacity()) return;
  // Grows geometrically like the list would; every new block is charged whole,
  // which also covers the old block while the elements move.
  const uint64_t capacity = std::max<uint64_t>(needed, 2 * list.capacity());
  charge(capacity * kSlotBytes);
  list.reserve(static_cast<size_t>(capacity));
}

void AMFSerializer::storeElement(AMFArray& array, std::string_view key, AMFValue value) {
  const auto index = AMFArray::integerKey(key);
  const int64_t size = static_cast<int64_t>(array.data.size());
  if (index && *index >= 0 && *index - size < AMFArray::kMaxDenseGap) {
    if (*index >= size) reserveSlots(array.data, static_cast<uint64_t>(*index - size + 1));
  } else if (!array.dict.contains(index ? std::to_string(*index) : std::string(key))) {
    charge(entryBytes(key));
  }
  array.set(key, std::move(value));
}

void AMFSerializer::storeMember(AMFObject& object, std::string key, AMFValue value) {
  auto it = object.find(key);
  if (it != object.end()) {
    it->second = std::move(value);
    return;
  }
  charge(entryBytes(key));
  object.emplace(std::move(key), std::move(value));
}

}  // namespace rtmpmedley
