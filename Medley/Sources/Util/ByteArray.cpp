#include "Medley/Sources/Util/ByteArray.h"

#include <bit>
#include <cstring>
#include <algorithm>
#include <stdexcept>

#include "Medley/Sources/Extension/DebugDescription.h"

namespace medley {

namespace {

bool isValidUTF8(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

const char* ByteArray::Error::what() const noexcept {
  return kind_ == Kind::eof ? "ByteArray.Error.eof" : "ByteArray.Error.parse";
}

Data ByteArray::takeData() {
  Data out = std::move(data_);
  data_.clear();
  position_ = 0;
  return out;
}

void ByteArray::setLength(int64_t length) {
  if (length < 0) length = 0;
  data_.resize(static_cast<size_t>(length), 0);
}

void ByteArray::require(size_t count) const {
  if (position_ < 0 || position_ > length()) throw Error(Error::Kind::eof);
  if (static_cast<uint64_t>(bytesAvailable()) < count) throw Error(Error::Kind::eof);
}

uint8_t ByteArray::readUInt8() {
  require(1);
  return data_[static_cast<size_t>(position_++)];
}

uint16_t ByteArray::readUInt16() {
  require(2);
  const uint8_t* p = cursor();
  position_ += 2;
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t ByteArray::readUInt24() {
  require(3);
  const uint8_t* p = cursor();
  position_ += 3;
  return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}

uint32_t ByteArray::readUInt32() {
  require(4);
  const uint8_t* p = cursor();
  position_ += 4;
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

double ByteArray::readDouble() {
  require(8);
  const uint8_t* p = cursor();
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
  position_ += 8;
  return std::bit_cast<double>(bits);
}

std::string ByteArray::readUTF8Bytes(size_t count) {
  require(count);
  const uint8_t* p = cursor();
  position_ += static_cast<int64_t>(count);
  if (!isValidUTF8(p, count)) throw Error(Error::Kind::parse);
  return std::string(reinterpret_cast<const char*>(p), count);
}

std::string ByteArray::readUTF8() {
  const int64_t start = position_;
  const uint16_t n = readUInt16();
  if (static_cast<uint64_t>(bytesAvailable()) < n) {
    position_ = start;
    throw Error(Error::Kind::eof);
  }
  return readUTF8Bytes(n);
}

Data ByteArray::readBytes(size_t count) {
  const auto s = readSpan(count);
  return Data(s.begin(), s.end());
}

std::span<const uint8_t> ByteArray::readSpan(size_t count) {
  require(count);
  const uint8_t* p = cursor();
  position_ += static_cast<int64_t>(count);
  return {p, count};
}

ByteArray& ByteArray::writeUInt8(uint8_t value) { return writeBytes(std::span<const uint8_t>(&value, 1)); }

ByteArray& ByteArray::writeUInt16(uint16_t value) {
  const uint8_t b[2] = {uint8_t(value >> 8), uint8_t(value)};
  return writeBytes(b);
}

ByteArray& ByteArray::writeUInt24(uint32_t value) {
  const uint8_t b[3] = {uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
  return writeBytes(b);
}

ByteArray& ByteArray::writeUInt32(uint32_t value) {
  const uint8_t b[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
  return writeBytes(b);
}

ByteArray& ByteArray::writeDouble(double value) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  uint8_t b[8];
  for (int i = 7; i >= 0; --i) {
    b[i] = uint8_t(bits);
    bits >>= 8;
  }
  return writeBytes(b);
}

ByteArray& ByteArray::writeUTF8Bytes(std::string_view text) {
  return writeBytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

ByteArray& ByteArray::writeUTF8(std::string_view text) {
  if (text.size() > 0xFFFF) throw std::length_error("text too long for a 16-bit length");
  writeUInt16(static_cast<uint16_t>(text.size()));
  return writeUTF8Bytes(text);
}

ByteArray& ByteArray::writeBytes(std::span<const uint8_t> bytes) {
  if (position_ < 0) throw std::out_of_range("ByteArray write at a negative position");
  const size_t pos = static_cast<size_t>(position_);
  if (pos > data_.size()) data_.resize(pos, 0);
  if (pos == data_.size()) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
  } else {
    const size_t k = std::min(bytes.size(), data_.size() - pos);
    if (k > 0) std::memmove(data_.data() + pos, bytes.data(), k);
    if (bytes.size() > k) data_.insert(data_.end(), bytes.begin() + static_cast<ptrdiff_t>(k), bytes.end());
  }
  position_ += static_cast<int64_t>(bytes.size());
  return *this;
}

std::string ByteArray::debugDescription() const {
  return Mirror::make("ByteArray", {{"data", std::to_string(data_.size()) + " bytes"},
                                            {"position", position_}})
      .debugDescription();
}

}  // namespace medley
