#include "Platform/Media/BlockBuffer.h"

#include <algorithm>
#include <cstring>

namespace platform {

BlockBuffer BlockBuffer::allocate(size_t size) {
  return adopt(std::vector<uint8_t>(size, 0));
}

BlockBuffer BlockBuffer::copy(const uint8_t* bytes, size_t size) {
  if (size == 0 || !bytes) return BlockBuffer{};
  return adopt(std::vector<uint8_t>(bytes, bytes + size));
}

BlockBuffer BlockBuffer::adopt(std::vector<uint8_t>&& bytes) {
  BlockBuffer b;
  if (bytes.empty()) return b;
  auto holder = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
  b.data_ = holder->data();
  b.size_ = holder->size();
  b.owner_ = std::move(holder);
  return b;
}

BlockBuffer BlockBuffer::wrap(const uint8_t* bytes, size_t size, std::shared_ptr<const void> owner) {
  BlockBuffer b;
  if (!bytes || size == 0) return b;
  b.data_ = bytes;
  b.size_ = size;
  b.owner_ = std::move(owner);
  return b;
}

BlockBuffer BlockBuffer::slice(size_t offset, size_t length) const {
  if (offset >= size_) return BlockBuffer{};
  BlockBuffer b = *this;
  b.data_ = data_ + offset;
  b.size_ = std::min(length, size_ - offset);
  if (b.size_ == 0) return BlockBuffer{};
  return b;
}

bool BlockBuffer::copyBytes(size_t offset, size_t length, uint8_t* destination) const {
  if (offset > size_ || length > size_ - offset) return false;
  if (length > 0) std::memcpy(destination, data_ + offset, length);
  return true;
}

bool operator==(const BlockBuffer& a, const BlockBuffer& b) {
  return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_) == 0);
}

}  // namespace platform
