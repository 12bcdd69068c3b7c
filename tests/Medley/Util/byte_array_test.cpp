#include <gtest/gtest.h>

#include <functional>

#include "Medley/Sources/Util/ByteArray.h"

using medley::ByteArray;
using Bytes = std::vector<uint8_t>;
using Kind = ByteArray::Error::Kind;

namespace {

Kind errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ByteArray::Error& e) {
    return e.kind();
  }
  ADD_FAILURE() << "no ByteArray error";
  return Kind::eof;
}

}  // namespace

TEST(MedleyByteArrayTest, WritesRoundTripBigEndianThroughReads) {
  ByteArray a;
  a.writeUInt8(0xFE).writeUInt16(0xBEEF).writeUInt24(0x123456).writeUInt32(0xDEADBEEF).writeDouble(-2.5);
  a.writeUTF8("héllo").writeInt32(-7);
  EXPECT_EQ(Bytes(a.data().begin(), a.data().begin() + 6), (Bytes{0xFE, 0xBE, 0xEF, 0x12, 0x34, 0x56}));
  a.setPosition(0);
  EXPECT_EQ(a.readUInt8(), 0xFE);
  EXPECT_EQ(a.readUInt16(), 0xBEEF);
  EXPECT_EQ(a.readUInt24(), 0x123456u);
  EXPECT_EQ(a.readUInt32(), 0xDEADBEEFu);
  EXPECT_EQ(a.readDouble(), -2.5);
  EXPECT_EQ(a.readUTF8(), "héllo");
  EXPECT_EQ(a.readInt32(), -7);
  EXPECT_EQ(a.bytesAvailable(), 0);
  EXPECT_THROW(a.writeUTF8(std::string(65536, 'x')), std::length_error);
}

TEST(MedleyByteArrayTest, ShortReadsAndPositionsOutsideTheBufferThrowEofAndConsumeNothing) {
  ByteArray a(Bytes{1, 2, 3});
  EXPECT_EQ(errorOf([&] { a.readUInt32(); }), Kind::eof);
  EXPECT_EQ(errorOf([&] { a.readDouble(); }), Kind::eof);
  EXPECT_EQ(errorOf([&] { a.readBytes(4); }), Kind::eof);
  EXPECT_EQ(a.position(), 0);
  ByteArray text(Bytes{0x00, 0x05, 'a', 'b'});  // the length is left unread too
  EXPECT_EQ(errorOf([&] { text.readUTF8(); }), Kind::eof);
  EXPECT_EQ(text.position(), 0);

  ByteArray b(Bytes{1, 2, 3, 4, 5});
  b.setPosition(4);
  b.setLength(2);  // keeps the position: bytesAvailable goes negative
  EXPECT_EQ(b.bytesAvailable(), -2);
  EXPECT_EQ(errorOf([&] { b.readUInt8(); }), Kind::eof);
  b.setPosition(-3);
  EXPECT_EQ(errorOf([&] { b.readUInt8(); }), Kind::eof);
  EXPECT_EQ(errorOf([&] { b.readUTF8Bytes(0); }), Kind::eof);
}

TEST(MedleyByteArrayTest, InvalidUTF8ThrowsParseAfterConsuming) {
  ByteArray a(Bytes{0xC3, 0x28});
  EXPECT_EQ(errorOf([&] { a.readUTF8Bytes(2); }), Kind::parse);
  EXPECT_EQ(a.position(), 2);
  for (Bytes bad : {Bytes{0xC0, 0xAF}, Bytes{0xED, 0xA0, 0x80}, Bytes{0xF4, 0x90, 0x80, 0x80}, Bytes{0xE2, 0x82}}) {
    ByteArray b(bad);
    EXPECT_EQ(errorOf([&] { b.readUTF8Bytes(bad.size()); }), Kind::parse);
  }
  ByteArray ok(Bytes{0xE2, 0x82, 0xAC, 'x'});
  EXPECT_EQ(ok.readUTF8Bytes(4), "\xE2\x82\xAC" "x");
}

TEST(MedleyByteArrayTest, WritesOverwriteInsideAndZeroFillPastTheEnd) {
  ByteArray a(Bytes(10, 0));
  a.writeBytes(Bytes{1, 2, 3});
  EXPECT_EQ(a.length(), 10);
  a.setPosition(9);
  a.writeBytes(Bytes{7, 8, 9});
  EXPECT_EQ(a.data(), (Bytes{1, 2, 3, 0, 0, 0, 0, 0, 0, 7, 8, 9}));
  a.setPosition(14);
  a.writeUInt8(5);
  EXPECT_EQ(Bytes(a.data().begin() + 10, a.data().end()), (Bytes{8, 9, 0, 0, 5}));
  a.setLength(1);
  EXPECT_EQ(a.data(), (Bytes{1}));
}

