#pragma once
// A cursor over a growable byte buffer: big-endian integers, a binary64
// double, UTF-8 text with or without a length prefix and raw bytes, read and
// written at one movable position. The module's byte-stream conversions read
// their length prefixes with it; the RTMP library builds its own on it.
//
// Reads never leave the buffer: too few bytes throw ByteArray::Error (eof) and
// consume nothing. Writes at the end append, writes inside overwrite in place.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Medley/Sources/Extension/Data.h"

namespace medley {

class ByteArray {
 public:
  class Error : public std::exception {
   public:
    enum class Kind { eof, parse };
    explicit Error(Kind kind) : kind_(kind) {}
    Kind kind() const { return kind_; }
    const char* what() const noexcept override;
    friend bool operator==(const Error& a, const Error& b) { return a.kind_ == b.kind_; }

   private:
    Kind kind_;
  };

  ByteArray() = default;
  explicit ByteArray(Data data) : data_(std::move(data)) {}
  explicit ByteArray(std::span<const uint8_t> bytes) : data_(bytes.begin(), bytes.end()) {}
  virtual ~ByteArray() = default;
  ByteArray(const ByteArray&) = default;
  ByteArray& operator=(const ByteArray&) = default;
  ByteArray(ByteArray&&) noexcept = default;
  ByteArray& operator=(ByteArray&&) noexcept = default;

  const Data& data() const { return data_; }
  // Moves the bytes out, leaving the array empty at position 0.
  Data takeData();
  // Replaces the content and the position.
  void reset(Data data, int64_t position = 0) {
    data_ = std::move(data);
    position_ = position;
  }

  int64_t length() const { return static_cast<int64_t>(data_.size()); }
  // Grows with zero bytes or keeps a prefix; the position is left alone.
  void setLength(int64_t length);

  int64_t position() const { return position_; }
  // Stored as given: reads outside 0...length throw, writes past the end pad with zeros.
  void setPosition(int64_t position) { position_ = position; }

  // Negative when the position lies past the end.
  int64_t bytesAvailable() const { return length() - position_; }

  virtual uint8_t readUInt8();
  virtual uint16_t readUInt16();
  uint32_t readUInt24();
  virtual uint32_t readUInt32();
  int32_t readInt32() { return static_cast<int32_t>(readUInt32()); }
  virtual double readDouble();
  // Strict UTF-8; invalid text throws parse after consuming its bytes.
  virtual std::string readUTF8Bytes(size_t count);
  // 16-bit length, then that many UTF-8 bytes.
  std::string readUTF8();
  virtual Data readBytes(size_t count);
  // The next `count` bytes without copying; valid until the next write.
  std::span<const uint8_t> readSpan(size_t count);

  ByteArray& writeUInt8(uint8_t value);
  ByteArray& writeUInt16(uint16_t value);
  ByteArray& writeUInt24(uint32_t value);
  ByteArray& writeUInt32(uint32_t value);
  ByteArray& writeInt32(int32_t value) { return writeUInt32(static_cast<uint32_t>(value)); }
  ByteArray& writeDouble(double value);
  // The text's bytes, without prefix or terminator.
  virtual ByteArray& writeUTF8Bytes(std::string_view text);
  // 16-bit length prefix; texts of 65536 bytes or more throw std::length_error.
  ByteArray& writeUTF8(std::string_view text);
  ByteArray& writeBytes(std::span<const uint8_t> bytes);
  ByteArray& writeBytes(const Data& bytes) { return writeBytes(std::span<const uint8_t>(bytes)); }

  void reserve(size_t bytes) { data_.reserve(bytes); }
  void clear() {
    data_.clear();
    position_ = 0;
  }

  std::string debugDescription() const;

 protected:
  // Throws eof unless `count` bytes lie at the position.
  void require(size_t count) const;
  const uint8_t* cursor() const { return data_.data() + position_; }

 private:
  Data data_;
  int64_t position_ = 0;
};

}  // namespace medley
