#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkReader.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

using namespace rtmpmedley;
using rtmptest::Bytes;
using rtmptest::concat;

namespace {

Bytes pattern(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed);
  return b;
}

Bytes chunked(const RTMPMessage& m, uint32_t csid, uint32_t chunkSize = 128, RTMPChunkType type = RTMPChunkType::zero) {
  RTMPChunkBuffer out;
  out.setChunkSize(chunkSize);
  const auto s = out.putMessage(type, csid, m);
  return Bytes(s.begin(), s.end());
}

using Received = std::vector<RTMPChunkReader::Received>;

RTMPChunkReader::Handler into(Received& r) {
  return [&r](const RTMPChunkReader::Received& m) { r.push_back(m); };
}

Received readAll(const Bytes& bytes) {
  RTMPChunkReader reader;
  Received r;
  reader.append(bytes, into(r));
  return r;
}

// A type 0 header built by hand, for inputs the writer never makes.
Bytes type0(uint8_t csid, uint32_t ts, uint32_t length, uint8_t typeId, uint32_t streamId) {
  return {csid, uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts), uint8_t(length >> 16), uint8_t(length >> 8),
          uint8_t(length), typeId, uint8_t(streamId), uint8_t(streamId >> 8), uint8_t(streamId >> 16),
          uint8_t(streamId >> 24)};
}

TEST(ChunkWriterTest, GoldenHeadersSplitsAndExtendedTimestamps) {
  EXPECT_EQ(chunked(RTMPSetChunkSizeMessage(0, 0, 4096), 2),
            (Bytes{0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00}));
  const Bytes b = chunked(RTMPVideoMessage(1, 33, pattern(20000)), 5, 8192, RTMPChunkType::one);
  ASSERT_EQ(b.size(), 1 + 7 + 8192 + 1 + 8192 + 1 + (20000 - 16384));
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), (Bytes{0x45, 0, 0, 33, 0, 0x4E, 0x20, 0x09}));
  EXPECT_EQ(b[8 + 8192], 0xC5);
  EXPECT_EQ(b[8 + 8192 + 1 + 8192], 0xC5);
  // The extended timestamp follows every chunk's header, continuations included.
  const Bytes e = chunked(RTMPVideoMessage(1, 0xFFFFFF, pattern(200)), 5);
  EXPECT_EQ(Bytes(e.begin() + 1, e.begin() + 4), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(e.begin() + 12, e.begin() + 16), (Bytes{0x00, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(e.begin() + 144, e.begin() + 149), (Bytes{0xC5, 0x00, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(e.size(), 149u + 72);
  EXPECT_EQ(chunked(RTMPVideoMessage(1, 0xFFFFFE, pattern(200)), 5).size(), 12u + 1 + 200);
}

TEST(ChunkWriterTest, RefusesWhatTheHeaderCannotCarry) {
  RTMPChunkBuffer out;
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 4, RTMPAudioMessage(1, 0, {})).empty());
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 4, RTMPAudioMessage(1, 0, Bytes(1 << 24))).empty());
  EXPECT_FALSE(out.putMessage(RTMPChunkType::zero, 4, RTMPAudioMessage(1, 0, Bytes((1 << 24) - 1))).empty());
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 1, RTMPAudioMessage(1, 0, Bytes(1))).empty());
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 0, RTMPAudioMessage(1, 0, Bytes(1))).empty());
}

TEST(ChunkReaderTest, ChunkStreamIdsInAllThreeBasicHeaderFormsAndNoWrapOntoLowIds) {
  for (uint32_t csid : {2u, 63u, 64u, 319u, 320u, 65599u}) {
    const RTMPAudioMessage m(1, 10, pattern(300, uint8_t(csid)));
    const Bytes b = chunked(m, csid);
    EXPECT_EQ(b[0] & 0x3F, csid <= 63 ? csid : csid <= 319 ? 0 : 1);
    const auto r = readAll(b);
    ASSERT_EQ(r.size(), 1u) << csid;
    EXPECT_EQ(r[0].chunkStreamId, csid);
    EXPECT_EQ(r[0].message->payload(), m.payload());
  }
  // 65538 must not share chunk stream 2's state.
  const RTMPAudioMessage high(1, 7, pattern(200, 1));
  RTMPChunkReader reader;
  Received r;
  reader.append(concat({chunked(RTMPAudioMessage(1, 9, pattern(50, 2)), 2), chunked(high, 65538)}), into(r));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].message->payload(), high.payload());
  EXPECT_EQ(reader.chunkStream(2)->timestamp, 9u);
}

TEST(ChunkReaderTest, ReassemblesWhateverWayTheBytesAreSplit) {
  const RTMPVideoMessage video(1, 0xFFFFFF + 5, pattern(300));
  const RTMPAudioMessage audio(1, 20, pattern(130, 3));
  const Bytes stream = concat({chunked(video, 5), chunked(audio, 320), chunked(RTMPSetChunkSizeMessage(0, 0, 64), 2),
                               chunked(RTMPVideoMessage(1, 40, pattern(100)), 5, 64, RTMPChunkType::one)});
  auto check = [&](const Received& r, const RTMPChunkReader& reader) {
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].message->payload(), video.payload());
    EXPECT_EQ(r[0].message->timestamp, 0xFFFFFFu + 5);
    EXPECT_EQ(r[1].message->payload(), audio.payload());
    EXPECT_EQ(r[3].message->payload(), pattern(100));
    EXPECT_EQ(r[3].message->timestamp, 40u);
    EXPECT_EQ(reader.chunkSize(), 64u);
    EXPECT_EQ(reader.bufferedBytes(), 0u);
  };
  // Lent to append(), or handed over as the connection's received blocks.
  auto readOwned = [](RTMPChunkReader& reader, Bytes block, Received& r) {
    reader.put(std::move(block));
    for (auto result = reader.read(); result.status == RTMPChunkReader::Status::message; result = reader.read())
      r.push_back(result.received);
  };
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    RTMPChunkReader reader;
    Received r;
    reader.append(std::span<const uint8_t>(stream).first(cut), into(r));
    reader.append(std::span<const uint8_t>(stream).subspan(cut), into(r));
    check(r, reader);
    RTMPChunkReader owned;
    Received o;
    readOwned(owned, Bytes(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(cut)), o);
    readOwned(owned, Bytes(stream.begin() + static_cast<ptrdiff_t>(cut), stream.end()), o);
    check(o, owned);
  }
  {
    // Bytes put and not read yet come before bytes appended after them.
    RTMPChunkReader reader;
    reader.put(std::span<const uint8_t>(stream).first(200));
    Received r;
    reader.append(std::span<const uint8_t>(stream).subspan(200), into(r));
    check(r, reader);
  }
  RTMPChunkReader reader;
  Received r;
  for (uint8_t byte : stream) reader.append(std::span<const uint8_t>(&byte, 1), into(r));
  check(r, reader);
}

TEST(ChunkReaderTest, EachReadGivesOneMessageOrSaysMoreBytesAreNeeded) {
  const Bytes audio = chunked(RTMPAudioMessage(1, 3, pattern(300)), 4);
  const Bytes video = chunked(RTMPVideoMessage(1, 4, pattern(10)), 5, 128, RTMPChunkType::one);
  RTMPChunkReader reader;
  // Two whole chunks of three, then the rest with a whole second message.
  reader.put(std::span<const uint8_t>(audio).first(audio.size() - 10));
  EXPECT_EQ(reader.read().status, RTMPChunkReader::Status::needMoreData);
  // The third chunk's first 34 bytes went straight into the message.
  EXPECT_EQ(reader.bufferedBytes(), 0u);
  EXPECT_EQ(reader.chunkStream(4)->position(), 128u + 128 + 34);
  reader.put(concat({Bytes(audio.end() - 10, audio.end()), video}));
  const auto first = reader.read();
  ASSERT_EQ(first.status, RTMPChunkReader::Status::message);
  EXPECT_EQ(first.received.message->payload(), pattern(300));
  EXPECT_EQ(first.received.chunkType, RTMPChunkType::zero);
  EXPECT_EQ(first.received.chunkStreamId, 4u);
  // The second message is still unread: nothing runs ahead of the caller.
  EXPECT_EQ(reader.bufferedBytes(), video.size());
  const auto second = reader.read();
  ASSERT_EQ(second.status, RTMPChunkReader::Status::message);
  EXPECT_EQ(second.received.chunkType, RTMPChunkType::one);
  EXPECT_EQ(second.received.message->timestamp, 4u);
  EXPECT_EQ(reader.read().status, RTMPChunkReader::Status::needMoreData);
}

TEST(ChunkReaderTest, AChunkThatContinuesNoHeaderIsMalformedUntilReset) {
  for (const Bytes& bad : {Bytes{0xC7, 1, 2, 3}, Bytes{0x87, 0, 0, 1, 9}, Bytes{0x80, 0x10, 0, 0, 1}}) {
    RTMPChunkReader reader;
    Received r;
    EXPECT_EQ(reader.append(concat({chunked(RTMPAudioMessage(1, 0, pattern(5)), 4), bad,
                                    chunked(RTMPAudioMessage(1, 0, pattern(6)), 4)}),
                            into(r)),
              RTMPChunkReader::Status::malformed);
    // What came before is delivered; nothing after.
    ASSERT_EQ(r.size(), 1u);
    const auto again = reader.read();
    EXPECT_EQ(again.status, RTMPChunkReader::Status::malformed);
    EXPECT_EQ(again.received.chunkStreamId, bad[0] & 0x3F ? uint32_t(bad[0] & 0x3F) : 64u + 0x10);
    EXPECT_TRUE(reader.isMalformed());
    reader.reset();
    EXPECT_EQ(reader.append(chunked(RTMPAudioMessage(1, 0, pattern(5)), 4), into(r)),
              RTMPChunkReader::Status::needMoreData);
    EXPECT_EQ(r.size(), 2u);
  }
  // A type 1 header carries a length and a type id of its own; type 3 after it
  // and between messages continues that header.
  const auto r = readAll(concat({Bytes{0x47, 0, 0, 1, 0, 0, 2, 8, 0xAA, 0xBB}, Bytes{0xC7, 0xCC, 0xDD}}));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].message->payload(), (Bytes{0xCC, 0xDD}));
  EXPECT_EQ(r[1].chunkType, RTMPChunkType::three);
}

TEST(ChunkReaderTest, ChunkSizeChangesApplyAtTheMessageBoundaryWithinOneRead) {
  // The peer changes its size twice and at once sends at the last size: one
  // block, read message by message with nothing applied out of order.
  const Bytes block = concat({chunked(RTMPSetChunkSizeMessage(0, 0, 4096), 2),
                              chunked(RTMPVideoMessage(1, 1, pattern(5000)), 5, 4096),
                              chunked(RTMPSetChunkSizeMessage(0, 0, 1000), 2, 4096),
                              chunked(RTMPVideoMessage(1, 2, pattern(2500, 1)), 5, 1000)});
  RTMPChunkReader reader;
  reader.put(block);
  std::vector<uint32_t> sizes;
  Received r;
  for (auto result = reader.read(); result.status == RTMPChunkReader::Status::message; result = reader.read()) {
    sizes.push_back(reader.chunkSize());
    r.push_back(result.received);
  }
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(sizes, (std::vector<uint32_t>{4096, 4096, 1000, 1000}));
  EXPECT_EQ(r[1].message->payload(), pattern(5000));
  EXPECT_EQ(r[3].message->payload(), pattern(2500, 1));
  EXPECT_EQ(reader.bufferedBytes(), 0u);
}

TEST(ChunkReaderTest, InterleavedChunkStreamsAndContinuationsOfEqualLength) {
  const Bytes a = chunked(RTMPAudioMessage(1, 0, pattern(200, 1)), 4);
  const Bytes v = chunked(RTMPVideoMessage(1, 0, pattern(200, 2)), 5);
  const auto r = readAll(concat({Bytes(a.begin(), a.begin() + 140), Bytes(v.begin(), v.begin() + 140),
                                 Bytes(a.begin() + 140, a.end()), Bytes(v.begin() + 140, v.end())}));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].message->payload(), pattern(200, 1));
  EXPECT_EQ(r[1].message->payload(), pattern(200, 2));

  const auto two = readAll(concat({type0(0x04, 5, 0, 8, 1), type0(0x04, 5, 3, 8, 1), Bytes{1, 2, 3, 0xC4, 4, 5, 6}}));
  ASSERT_EQ(two.size(), 3u);
  EXPECT_TRUE(two[0].message->payload().empty());
  EXPECT_EQ(two[2].message->payload(), (Bytes{4, 5, 6}));
  EXPECT_EQ(two[2].chunkType, RTMPChunkType::three);
}

TEST(ChunkReaderTest, ExtendedTimestampOnContinuationsWithOrWithoutRepeat) {
  const Bytes head = concat({type0(0x04, 0xFFFFFF, 130, 8, 1), Bytes{0x01, 0, 0, 0}, pattern(128)});
  for (const Bytes& next : {Bytes{0xC4, 0x01, 0, 0, 0, 0xAA, 0xBB}, Bytes{0xC4, 0xAA, 0xBB}}) {
    const auto r = readAll(concat({head, next}));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].message->timestamp, 16777216u);
    EXPECT_EQ(r[0].message->payload(), concat({pattern(128), Bytes{0xAA, 0xBB}}));
  }
}

TEST(ChunkReaderTest, UnknownTypeIdsAreConsumed) {
  const auto r = readAll(concat({type0(0x04, 0, 2, 7, 1), Bytes{1, 2}, type0(0x04, 0, 2, 21, 1), Bytes{3, 4},
                                 type0(0x04, 0, 1, 8, 1), Bytes{9}}));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].message->payload(), (Bytes{9}));
}

TEST(ChunkReaderTest, PeerChunkSizes) {
  RTMPChunkReader reader;
  for (uint32_t bad : {0u, 0x80000000u, 0xFFFFFFFFu}) EXPECT_FALSE(reader.setChunkSize(bad));
  EXPECT_EQ(reader.chunkSize(), 128u);
  EXPECT_TRUE(reader.setChunkSize(0x7FFFFFFF));
  EXPECT_EQ(reader.chunkSize(), 0xFFFFFFu);
  // Announced in-band, a size applies to the very next chunk; zero is refused.
  const auto r = readAll(concat({chunked(RTMPSetChunkSizeMessage(0, 0, 1), 2), chunked(RTMPAudioMessage(1, 0, pattern(5)), 4, 1),
                                 chunked(RTMPSetChunkSizeMessage(0, 0, 0), 2, 1),
                                 chunked(RTMPAudioMessage(1, 0, pattern(3)), 4, 1)}));
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[1].message->payload(), pattern(5));
  EXPECT_EQ(r[3].message->payload(), pattern(3));
}

TEST(ChunkReaderTest, AnnouncedLengthsClaimNoMoreThanTheReadAheadAllowance) {
  constexpr size_t kAllowance = RTMPChunkReader::kReadAheadAllowance;
  RTMPChunkReader reader;
  reader.setChunkSize(10);
  Received r;
  // A hundred chunk streams each announce 16 MiB and send one chunk of ten bytes.
  const Bytes header = type0(0, 0, 0xFFFFFF, 8, 1);
  Bytes b;
  for (uint8_t id = 0; id < 100; ++id)
    b = concat({b, Bytes{0x00, id}, Bytes(header.begin() + 1, header.end()), pattern(10, id)});
  reader.append(b, into(r));
  EXPECT_TRUE(r.empty());
  size_t storage = 0;
  for (uint32_t id = 64; id < 164; ++id) {
    ASSERT_NE(reader.chunkStream(id), nullptr);
    EXPECT_EQ(reader.chunkStream(id)->position(), 10u);
    storage += reader.chunkStream(id)->payload.capacity();
  }
  EXPECT_LE(storage, 100 * 10 + kAllowance);
  EXPECT_EQ(reader.reservedAhead(), kAllowance);
  // An abort gives its message's share back, and a message that fits the rest
  // is stored in one piece as its bytes come.
  reader.append(chunked(RTMPAbortMessge(0, 0, 64), 2), into(r));
  EXPECT_LT(reader.reservedAhead(), kAllowance);
  reader.setChunkSize(4096);
  const Bytes frame = chunked(RTMPVideoMessage(1, 0, pattern(20000)), 5, 4096);
  reader.append(std::span<const uint8_t>(frame).first(100), into(r));
  const uint8_t* storageAtStart = reader.chunkStream(5)->payload.data();
  reader.append(std::span<const uint8_t>(frame).subspan(100), into(r));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].message->payload(), pattern(20000));
  EXPECT_EQ(r[1].message->payload().data(), storageAtStart);
  reader.reset();
  EXPECT_EQ(reader.reservedAhead(), 0u);
}

TEST(ChunkReaderTest, AbortDropsThatChunkStreamsPartialMessage) {
  // After the abort, type 3 chunks start the next 200-byte message instead of finishing the old one.
  const Bytes next = pattern(200, 9);
  const auto r = readAll(concat({type0(0x04, 0, 200, 8, 1), pattern(128), chunked(RTMPAbortMessge(0, 0, 4), 2),
                                 Bytes{0xC4}, Bytes(next.begin(), next.begin() + 128), Bytes{0xC4},
                                 Bytes(next.begin() + 128, next.end())}));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].message->type(), RTMPMessageType::abort);
  EXPECT_EQ(r[1].message->payload(), next);
}

}  // namespace
