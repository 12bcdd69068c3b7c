#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/ByteArray.h"

using rtmpmedley::ByteArray;
using rtmptest::Bytes;

namespace {

ByteArray::Error::Kind errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ByteArray::Error& e) {
    return e.kind();
  }
  ADD_FAILURE() << "no ByteArray error";
  return ByteArray::Error::Kind::eof;
}

TEST(ByteArrayTest, ReadsBigEndianNumbers) {
  ByteArray a(Bytes{0x01, 0x02, 0x00, 0x00, 0x01, 0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0xAB, 0xCD, 0xEF});
  EXPECT_EQ(a.readUInt16(), 258);
  EXPECT_EQ(a.readUInt32(), 256u);
  EXPECT_EQ(a.readDouble(), 1.0);
  EXPECT_EQ(a.readUInt24(), 0xABCDEFu);
  EXPECT_EQ(a.bytesAvailable(), 0);
}

TEST(ByteArrayTest, ShortReadsThrowEofAndConsumeNothing) {
  ByteArray a(Bytes{1, 2, 3});
  EXPECT_EQ(errorOf([&] { a.readUInt32(); }), ByteArray::Error::Kind::eof);
  EXPECT_EQ(a.position(), 0);
  EXPECT_EQ(errorOf([&] { a.readDouble(); }), ByteArray::Error::Kind::eof);
  EXPECT_EQ(errorOf([&] { a.readBytes(4); }), ByteArray::Error::Kind::eof);
  // A 16-bit length longer than what follows leaves the length unread too.
  ByteArray text(Bytes{0x00, 0x05, 'a', 'b'});
  EXPECT_EQ(errorOf([&] { text.readUTF8(); }), ByteArray::Error::Kind::eof);
  EXPECT_EQ(text.position(), 0);
}

TEST(ByteArrayTest, PositionsOutsideTheBufferNeverRead) {
  ByteArray a(Bytes{1, 2, 3, 4, 5});
  a.setPosition(4);
  a.setLength(2);  // keeps the position: bytesAvailable goes negative
  EXPECT_EQ(a.length(), 2);
  EXPECT_EQ(a.position(), 4);
  EXPECT_EQ(a.bytesAvailable(), -2);
  EXPECT_EQ(errorOf([&] { a.readUInt8(); }), ByteArray::Error::Kind::eof);
  a.setPosition(-3);
  EXPECT_EQ(errorOf([&] { a.readUInt8(); }), ByteArray::Error::Kind::eof);
  EXPECT_EQ(errorOf([&] { a.readUTF8Bytes(0); }), ByteArray::Error::Kind::eof);
  EXPECT_TRUE(a.toUInt32Words().empty());
}

TEST(ByteArrayTest, InvalidUTF8ThrowsParseAfterConsuming) {
  ByteArray a(Bytes{0xC3, 0x28});
  EXPECT_EQ(errorOf([&] { a.readUTF8Bytes(2); }), ByteArray::Error::Kind::parse);
  EXPECT_EQ(a.position(), 2);
  for (Bytes bad : {Bytes{0xC0, 0xAF}, Bytes{0xED, 0xA0, 0x80}, Bytes{0xF4, 0x90, 0x80, 0x80}, Bytes{0xE2, 0x82}}) {
    ByteArray b(bad);
    EXPECT_EQ(errorOf([&] { b.readUTF8Bytes(bad.size()); }), ByteArray::Error::Kind::parse);
  }
  ByteArray ok(Bytes{0xE2, 0x82, 0xAC, 'x'});
  EXPECT_EQ(ok.readUTF8Bytes(0), "");
  EXPECT_EQ(ok.position(), 0);
  EXPECT_EQ(ok.readUTF8Bytes(4), "\xE2\x82\xAC" "x");
}

TEST(ByteArrayTest, WritesOverwriteInsideAndAppendPastTheEnd) {
  ByteArray a(Bytes(10, 0));
  a.writeBytes(Bytes{1, 2, 3});
  EXPECT_EQ(a.length(), 10);
  EXPECT_EQ(a.position(), 3);
  EXPECT_EQ(a.data()[2], 3);

  a.setPosition(9);
  a.writeBytes(Bytes{7, 8, 9});
  EXPECT_EQ(a.length(), 12);
  EXPECT_EQ(a.position(), 12);
  EXPECT_EQ(a.data(), (Bytes{1, 2, 3, 0, 0, 0, 0, 0, 0, 7, 8, 9}));

  // Past the end the gap is zero-filled.
  a.setPosition(14);
  a.writeUInt8(5);
  EXPECT_EQ(a.length(), 15);
  EXPECT_EQ(a.data()[12], 0);
  EXPECT_EQ(a.data()[14], 5);
}

TEST(ByteArrayTest, WritesRoundTripThroughReads) {
  ByteArray a;
  a.writeUInt8(0xFE).writeUInt16(0xBEEF).writeUInt24(0x123456).writeUInt32(0xDEADBEEF).writeDouble(-2.5);
  a.writeUTF8("héllo").writeInt32(-7);
  EXPECT_EQ(a.data()[1], 0xBE);
  a.setPosition(0);
  EXPECT_EQ(a.readUInt8(), 0xFE);
  EXPECT_EQ(a.readUInt16(), 0xBEEF);
  EXPECT_EQ(a.readUInt24(), 0x123456u);
  EXPECT_EQ(a.readUInt32(), 0xDEADBEEFu);
  EXPECT_EQ(a.readDouble(), -2.5);
  EXPECT_EQ(a.readUTF8(), "héllo");
  EXPECT_EQ(a.readInt32(), -7);
  EXPECT_THROW(a.writeUTF8(std::string(65536, 'x')), std::length_error);
}

TEST(ByteArrayTest, LengthGrowsWithZerosAndShrinksToAPrefix) {
  ByteArray a(Bytes{1, 2, 3});
  a.setLength(5);
  EXPECT_EQ(a.data(), (Bytes{1, 2, 3, 0, 0}));
  a.setLength(1);
  EXPECT_EQ(a.data(), (Bytes{1}));
}

TEST(ByteArrayTest, WordsAndBlocksForTheDigest) {
  ByteArray a(Bytes{0x01, 0, 0, 0, 0x00, 0x01, 0x02, 0x03});
  EXPECT_EQ(a.toUInt32Words(), (std::vector<uint32_t>{1, 0x03020100}));
  a.setPosition(2);
  EXPECT_TRUE(a.toUInt32Words().empty());

  ByteArray big(Bytes(130, 7));
  std::vector<int64_t> sizes;
  big.forEachBlock(64, [&](ByteArray& block) {
    EXPECT_EQ(block.position(), 0);
    sizes.push_back(block.length());
  });
  EXPECT_EQ(sizes, (std::vector<int64_t>{64, 64, 2}));
  EXPECT_EQ(big.position(), 0);
}

}  // namespace
