#include <gtest/gtest.h>

#include <numeric>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/RTMPChunkReader.h"
#include "RTMPMedley/Sources/RTMP/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/RTMPVideoMessage.h"

using namespace rtmpmedley;
using rtmptest::Bytes;
using rtmptest::concat;

namespace {

Bytes pattern(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed);
  return b;
}

Bytes chunked(const RTMPMessage& m, RTMPChunkType type, uint32_t csid, uint32_t chunkSize = 128) {
  RTMPChunkBuffer out;
  out.setChunkSize(chunkSize);
  const auto s = out.putMessage(type, csid, m);
  return Bytes(s.begin(), s.end());
}

struct Collected {
  std::vector<RTMPChunkReader::Received> received;
  RTMPChunkReader::Handler handler() {
    return [this](const RTMPChunkReader::Received& r) { received.push_back(r); };
  }
};

std::vector<RTMPChunkReader::Received> readAll(const Bytes& bytes, uint32_t chunkSize = 128) {
  RTMPChunkReader reader;
  reader.setChunkSize(chunkSize);
  Collected c;
  reader.append(bytes, c.handler());
  return c.received;
}

// Header bytes of a chunk, built by hand for inputs the writer never makes.
Bytes type0(uint8_t csid, uint32_t ts, uint32_t length, uint8_t typeId, uint32_t streamId) {
  return {csid, uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts), uint8_t(length >> 16), uint8_t(length >> 8),
          uint8_t(length), typeId, uint8_t(streamId), uint8_t(streamId >> 8), uint8_t(streamId >> 16),
          uint8_t(streamId >> 24)};
}

TEST(ChunkWriterTest, SetChunkSizeIsOneSixteenByteChunk) {
  const RTMPSetChunkSizeMessage m(0, 0, 4096);
  EXPECT_EQ(chunked(m, RTMPChunkType::zero, 2),
            (Bytes{0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00}));
}

TEST(ChunkWriterTest, SplitsAtTheChunkSizeWithTypeThreeContinuations) {
  const RTMPVideoMessage frame(1, 33, pattern(20000));
  RTMPChunkBuffer out;
  out.setChunkSize(8192);
  const auto s = out.putMessage(RTMPChunkType::one, 5, frame);
  const Bytes b(s.begin(), s.end());
  EXPECT_EQ(out.chunkCount(), 3u);
  ASSERT_EQ(b.size(), 1 + 7 + 8192 + 1 + 8192 + 1 + (20000 - 16384));
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), (Bytes{0x45, 0, 0, 33, 0, 0x4E, 0x20, 0x09}));
  EXPECT_EQ(b[8 + 8192], 0xC5);
  EXPECT_EQ(b[8 + 8192 + 1 + 8192], 0xC5);

  const RTMPAudioMessage audio(1, 0, pattern(300));
  RTMPChunkBuffer small;
  small.putMessage(RTMPChunkType::zero, 4, audio);
  EXPECT_EQ(small.chunkCount(), 3u);
}

TEST(ChunkWriterTest, RefusesWhatTheHeaderCannotCarry) {
  RTMPChunkBuffer out;
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 4, RTMPAudioMessage(1, 0, {})).empty());
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 4, RTMPAudioMessage(1, 0, Bytes(1 << 24))).empty());
  EXPECT_FALSE(out.putMessage(RTMPChunkType::zero, 4, RTMPAudioMessage(1, 0, Bytes((1 << 24) - 1))).empty());
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 1, RTMPAudioMessage(1, 0, Bytes(1))).empty());
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 0, RTMPAudioMessage(1, 0, Bytes(1))).empty());
}

TEST(ChunkWriterTest, ExtendedTimestampsLeadEveryChunk) {
  const RTMPVideoMessage m(1, 0xFFFFFF, pattern(200));
  const Bytes b = chunked(m, RTMPChunkType::zero, 5);
  EXPECT_EQ(Bytes(b.begin() + 1, b.begin() + 4), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(b.begin() + 12, b.begin() + 16), (Bytes{0x00, 0xFF, 0xFF, 0xFF}));
  const size_t second = 12 + 4 + 128;
  EXPECT_EQ(b[second], 0xC5);
  EXPECT_EQ(Bytes(b.begin() + second + 1, b.begin() + second + 5), (Bytes{0x00, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(b.size(), second + 5 + 72);
  // Below the marker nothing is added.
  EXPECT_EQ(chunked(RTMPVideoMessage(1, 0xFFFFFE, pattern(200)), RTMPChunkType::zero, 5).size(), 12u + 1 + 200);
}

TEST(ChunkReaderTest, ChunkStreamIdsInAllThreeBasicHeaderForms) {
  for (uint32_t csid : {2u, 63u, 64u, 319u, 320u, 65599u}) {
    const RTMPAudioMessage m(1, 10, pattern(300, uint8_t(csid)));
    const Bytes b = chunked(m, RTMPChunkType::zero, csid);
    EXPECT_EQ(b[0] & 0x3F, csid <= 63 ? csid : csid <= 319 ? 0 : 1);
    const auto r = readAll(b);
    ASSERT_EQ(r.size(), 1u) << csid;
    EXPECT_EQ(r[0].chunkStreamId, csid);
    EXPECT_EQ(r[0].message->payload(), m.payload());
    EXPECT_EQ(r[0].message->streamId, 1u);
    EXPECT_EQ(r[0].message->timestamp, 10u);
  }
}

TEST(ChunkReaderTest, HighChunkStreamIdsDoNotShareStateWithLowOnes) {
  // 65538 must not wrap onto chunk stream 2: the second header (type 3) continues
  // the first message on 65538, not the one on 2.
  const RTMPAudioMessage high(1, 7, pattern(200, 1));
  const RTMPAudioMessage low(1, 9, pattern(50, 2));
  const Bytes stream = concat({chunked(low, RTMPChunkType::zero, 2), chunked(high, RTMPChunkType::zero, 65538)});
  RTMPChunkReader reader;
  Collected c;
  reader.append(stream, c.handler());
  ASSERT_EQ(c.received.size(), 2u);
  EXPECT_EQ(c.received[1].chunkStreamId, 65538u);
  EXPECT_EQ(c.received[1].message->payload(), high.payload());
  ASSERT_NE(reader.chunkStream(2), nullptr);
  EXPECT_EQ(reader.chunkStream(2)->timestamp, 9u);
}

TEST(ChunkReaderTest, ReassemblesWhateverWayTheBytesAreSplit) {
  const RTMPVideoMessage video(1, 0xFFFFFF + 5, pattern(300));
  const RTMPAudioMessage audio(1, 20, pattern(130, 3));
  const RTMPSetChunkSizeMessage size(0, 0, 64);
  const Bytes stream = concat({chunked(video, RTMPChunkType::zero, 5), chunked(audio, RTMPChunkType::zero, 320),
                               chunked(size, RTMPChunkType::zero, 2),
                               chunked(RTMPVideoMessage(1, 40, pattern(100)), RTMPChunkType::one, 5, 64)});
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    RTMPChunkReader reader;
    Collected c;
    reader.append(std::span<const uint8_t>(stream).first(cut), c.handler());
    reader.append(std::span<const uint8_t>(stream).subspan(cut), c.handler());
    ASSERT_EQ(c.received.size(), 4u) << cut;
    EXPECT_EQ(c.received[0].message->payload(), video.payload());
    EXPECT_EQ(c.received[0].message->timestamp, 0xFFFFFFu + 5);
    EXPECT_EQ(c.received[1].message->payload(), audio.payload());
    EXPECT_EQ(c.received[3].message->payload(), pattern(100));
    EXPECT_EQ(c.received[3].message->timestamp, 40u);
    EXPECT_EQ(c.received[3].chunkType, RTMPChunkType::one);
    EXPECT_EQ(reader.chunkSize(), 64u);
  }
  // One byte at a time.
  RTMPChunkReader reader;
  Collected c;
  for (uint8_t byte : stream) reader.append(std::span<const uint8_t>(&byte, 1), c.handler());
  EXPECT_EQ(c.received.size(), 4u);
  EXPECT_EQ(reader.bufferedBytes(), 0u);
}

TEST(ChunkReaderTest, TruncatedBasicHeadersWaitForTheirBytes) {
  for (uint32_t csid : {64u, 319u, 320u, 65599u}) {
    const Bytes b = chunked(RTMPAudioMessage(1, 0, pattern(5)), RTMPChunkType::zero, csid);
    const size_t basic = RTMPChunkBuffer::basicHeaderSize(csid);
    for (size_t k = 1; k <= basic; ++k) {
      RTMPChunkReader reader;
      Collected c;
      reader.append(std::span<const uint8_t>(b).first(k), c.handler());
      EXPECT_TRUE(c.received.empty());
      EXPECT_EQ(reader.bufferedBytes(), k);
      reader.append(std::span<const uint8_t>(b).subspan(k), c.handler());
      ASSERT_EQ(c.received.size(), 1u);
      EXPECT_EQ(c.received[0].chunkStreamId, csid);
    }
  }
}

TEST(ChunkReaderTest, ExtendedTimestampOnContinuationsWithOrWithoutRepeat) {
  // Type 0 with the marker and extended value 0x01000000, then a type 3 chunk.
  const Bytes head = concat({type0(0x04, 0xFFFFFF, 130, 8, 1), Bytes{0x01, 0, 0, 0}, pattern(128)});
  const Bytes withRepeat = concat({head, Bytes{0xC4, 0x01, 0, 0, 0}, Bytes{0xAA, 0xBB}});
  const Bytes without = concat({head, Bytes{0xC4}, Bytes{0xAA, 0xBB}});
  for (const Bytes& b : {withRepeat, without}) {
    const auto r = readAll(b);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].message->timestamp, 16777216u);
    EXPECT_EQ(r[0].message->payload(), concat({pattern(128), Bytes{0xAA, 0xBB}}));
  }
}

TEST(ChunkReaderTest, EmptyMessagesAndEqualLengthsInARow) {
  const Bytes empty = type0(0x04, 5, 0, 8, 1);
  const auto r0 = readAll(empty);
  ASSERT_EQ(r0.size(), 1u);
  EXPECT_TRUE(r0[0].message->payload().empty());

  const Bytes two = concat({type0(0x04, 5, 3, 8, 1), Bytes{1, 2, 3}, Bytes{0xC4, 4, 5, 6}});
  const auto r = readAll(two);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].message->payload(), (Bytes{1, 2, 3}));
  EXPECT_EQ(r[1].message->payload(), (Bytes{4, 5, 6}));
  EXPECT_EQ(r[1].chunkType, RTMPChunkType::three);
}

TEST(ChunkReaderTest, UnknownTypeIdsAreConsumed) {
  const Bytes b = concat({type0(0x04, 0, 2, 7, 1), Bytes{1, 2}, type0(0x04, 0, 2, 21, 1), Bytes{3, 4},
                          type0(0x04, 0, 1, 8, 1), Bytes{9}});
  const auto r = readAll(b);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].message->payload(), (Bytes{9}));
}

TEST(ChunkReaderTest, PeerChunkSizes) {
  RTMPChunkReader reader;
  EXPECT_FALSE(reader.setChunkSize(0));
  EXPECT_FALSE(reader.setChunkSize(0x80000000));
  EXPECT_FALSE(reader.setChunkSize(0xFFFFFFFF));
  EXPECT_EQ(reader.chunkSize(), 128u);
  EXPECT_TRUE(reader.setChunkSize(0x7FFFFFFF));
  EXPECT_EQ(reader.chunkSize(), 0xFFFFFFu);
  EXPECT_TRUE(reader.setChunkSize(1));

  // A one-byte chunk size announced in-band applies to the very next chunk.
  const Bytes b = concat({chunked(RTMPSetChunkSizeMessage(0, 0, 1), RTMPChunkType::zero, 2),
                          chunked(RTMPAudioMessage(1, 0, pattern(5)), RTMPChunkType::zero, 4, 1),
                          chunked(RTMPSetChunkSizeMessage(0, 0, 0), RTMPChunkType::zero, 2, 1),
                          chunked(RTMPAudioMessage(1, 0, pattern(3)), RTMPChunkType::zero, 4, 1)});
  RTMPChunkReader inBand;
  Collected c;
  inBand.append(b, c.handler());
  ASSERT_EQ(c.received.size(), 4u);
  EXPECT_EQ(c.received[1].message->payload(), pattern(5));
  EXPECT_EQ(c.received[3].message->payload(), pattern(3));
  EXPECT_EQ(inBand.chunkSize(), 1u);
}

TEST(ChunkReaderTest, StorageFollowsTheDataNotTheAnnouncement) {
  RTMPChunkReader reader;
  reader.setChunkSize(0xFFFFFF);
  Collected c;
  const Bytes b = concat({type0(0x04, 0, 0xFFFFFF, 8, 1), pattern(1000)});
  reader.append(b, c.handler());
  EXPECT_TRUE(c.received.empty());
  // The whole chunk is not there yet: nothing is committed to the record.
  const auto* record = reader.chunkStream(4);
  ASSERT_NE(record, nullptr);
  EXPECT_LT(record->payload.capacity(), 64u * 1024);
  EXPECT_EQ(reader.bufferedBytes(), b.size());
}

TEST(ChunkReaderTest, NewHeaderMidMessageDropsThePartialMessage) {
  // 300-byte message, first chunk only; then a type 1 header with another length.
  const Bytes b = concat({type0(0x04, 0, 300, 8, 1), pattern(128), Bytes{0x44, 0, 0, 10, 0, 0, 4, 8},
                          Bytes{1, 2, 3, 4}});
  const auto r = readAll(b);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].message->payload(), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(r[0].message->timestamp, 10u);
}

TEST(ChunkReaderTest, AbortDropsThatChunkStreamsPartialMessage) {
  // After the abort, type 3 chunks start the next 200-byte message instead of finishing the old one.
  const Bytes next = pattern(200, 9);
  const Bytes b = concat({type0(0x04, 0, 200, 8, 1), pattern(128),
                          chunked(RTMPAbortMessge(0, 0, 4), RTMPChunkType::zero, 2), Bytes{0xC4},
                          Bytes(next.begin(), next.begin() + 128), Bytes{0xC4}, Bytes(next.begin() + 128, next.end())});
  const auto r = readAll(b);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].message->type(), RTMPMessageType::abort);
  EXPECT_EQ(r[1].message->payload(), next);
}

TEST(ChunkReaderTest, InterleavedChunkStreams) {
  RTMPChunkBuffer out;
  const RTMPAudioMessage a(1, 0, pattern(200, 1));
  const RTMPVideoMessage v(1, 0, pattern(200, 2));
  const auto as = out.putMessage(RTMPChunkType::zero, 4, a);
  const Bytes ab(as.begin(), as.end());
  const auto vs = out.putMessage(RTMPChunkType::zero, 5, v);
  const Bytes vb(vs.begin(), vs.end());
  // Audio chunk 1, video chunk 1, audio chunk 2, video chunk 2.
  const size_t a1 = 12 + 128, v1 = 12 + 128;
  const Bytes mixed = concat({Bytes(ab.begin(), ab.begin() + a1), Bytes(vb.begin(), vb.begin() + v1),
                              Bytes(ab.begin() + a1, ab.end()), Bytes(vb.begin() + v1, vb.end())});
  const auto r = readAll(mixed);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].message->payload(), a.payload());
  EXPECT_EQ(r[1].message->payload(), v.payload());
}

}  // namespace
