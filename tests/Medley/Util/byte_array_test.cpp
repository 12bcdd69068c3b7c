#include <gtest/gtest.h>

#include "Medley/Sources/Util/ByteArray.h"

using medley::ByteArray;
using medley::Data;

TEST(MedleyByteArrayTest, ReadsAndWritesBigEndianAtItsPosition) {
  ByteArray bytes;
  bytes.writeUInt8(0x01).writeUInt16(0x0203).writeUInt24(0x040506).writeUInt32(0x0708090A).writeDouble(-1.5);
  bytes.writeUTF8("hé");
  EXPECT_EQ(bytes.data(), (Data{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0xBF, 0xF8, 0, 0, 0, 0,
                                0, 0, 0x00, 0x03, 'h', 0xC3, 0xA9}));
  bytes.setPosition(0);
  EXPECT_EQ(bytes.readUInt8(), 0x01);
  EXPECT_EQ(bytes.readUInt16(), 0x0203);
  EXPECT_EQ(bytes.readUInt24(), 0x040506u);
  EXPECT_EQ(bytes.readInt32(), 0x0708090A);
  EXPECT_EQ(bytes.readDouble(), -1.5);
  EXPECT_EQ(bytes.readUTF8(), "hé");
  EXPECT_EQ(bytes.bytesAvailable(), 0);

  // A write inside overwrites in place, past the end pads with zeros.
  bytes.setPosition(1);
  bytes.writeUInt16(0xFFFF);
  EXPECT_EQ(bytes.data()[1], 0xFF);
  EXPECT_EQ(bytes.length(), 23);
  bytes.setPosition(25);
  bytes.writeUInt8(7);
  EXPECT_EQ(bytes.length(), 26);
  EXPECT_EQ(bytes.data()[23], 0);
}

TEST(MedleyByteArrayTest, ShortReadsFailWithEofAndConsumeNothing) {
  ByteArray bytes(Data{0x00, 0x00, 0x00, 0x05, 0xAA, 0xBB});
  EXPECT_EQ(bytes.readUInt32(), 5u);
  try {
    bytes.readBytes(5);
    FAIL() << "read past the end";
  } catch (const ByteArray::Error& error) {
    EXPECT_EQ(error.kind(), ByteArray::Error::Kind::eof);
  }
  EXPECT_EQ(bytes.position(), 4);
  EXPECT_EQ(bytes.readBytes(2), (Data{0xAA, 0xBB}));
  EXPECT_THROW(bytes.readUInt8(), ByteArray::Error);
  bytes.setPosition(-1);
  EXPECT_THROW(bytes.readUInt8(), ByteArray::Error);

  ByteArray text(Data{0x00, 0x02, 0xC3, 0x28});  // a broken two-byte sequence
  try {
    text.readUTF8();
    FAIL() << "invalid UTF-8 read";
  } catch (const ByteArray::Error& error) {
    EXPECT_EQ(error.kind(), ByteArray::Error::Kind::parse);
  }
  EXPECT_EQ(ByteArray(Data{1, 2}).debugDescription(), "ByteArray{data: 2 bytes,position: 0}");
}
