#pragma once
// Contiguous bytes shared between owners: copies and slices share the same
// memory, so handing encoded media across threads copies nothing. The bytes
// are written only by the one who made the block, before handing it on.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

class BlockBuffer {
 public:
  // Empty.
  BlockBuffer() = default;

  // `size` zeroed bytes of new memory.
  static BlockBuffer allocate(size_t size);
  // A copy of the bytes.
  static BlockBuffer copy(const uint8_t* bytes, size_t size);
  static BlockBuffer copy(const std::vector<uint8_t>& bytes) { return copy(bytes.data(), bytes.size()); }
  // Takes the vector over without copying.
  static BlockBuffer adopt(std::vector<uint8_t>&& bytes);
  // Memory someone else owns (a packet of a codec); `owner` is kept alive as long as any slice.
  static BlockBuffer wrap(const uint8_t* bytes, size_t size, std::shared_ptr<const void> owner);

  const uint8_t* data() const { return data_; }
  // For the maker, before handing the block on.
  uint8_t* mutableData() const { return const_cast<uint8_t*>(data_); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The bytes [offset, offset + length), sharing the memory; clamped to the
  // block (an offset past the end gives an empty block).
  BlockBuffer slice(size_t offset, size_t length = SIZE_MAX) const;
  // Copies `length` bytes from `offset`; false (and nothing copied) when they are not all inside the block.
  bool copyBytes(size_t offset, size_t length, uint8_t* destination) const;
  std::vector<uint8_t> toVector() const { return std::vector<uint8_t>(data_, data_ + size_); }

  // Same bytes (not the same memory).
  friend bool operator==(const BlockBuffer& a, const BlockBuffer& b);

 private:
  std::shared_ptr<const void> owner_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace platform
