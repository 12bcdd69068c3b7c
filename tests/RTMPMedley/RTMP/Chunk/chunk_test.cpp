#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkReader.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"
#include "Logwell/ConsoleAppender.h"

using namespace rtmpmedley;
using rtmptest::Bytes;
using rtmptest::concat;
using rtmptest::pattern;

namespace {

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

std::vector<Bytes> payloads(const Bytes& bytes) {
  RTMPChunkReader reader;
  std::vector<Bytes> out;
  reader.append(bytes, [&](const RTMPChunkReader::Received& m) { out.push_back(m.message->payload()); });
  return out;
}

// A type 0 header built by hand, for inputs the writer never makes.
Bytes type0(uint8_t csid, uint32_t ts, uint32_t length, uint8_t typeId) {
  return {csid, uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts), uint8_t(length >> 16), uint8_t(length >> 8),
          uint8_t(length), typeId, 1, 0, 0, 0};
}

TEST(ChunkWriterTest, WritesWhatTheHeaderCanCarryOnly) {
  RTMPChunkBuffer out;
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 4, RTMPAudioMessage(1, 0, {})).empty());
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 4, RTMPAudioMessage(1, 0, Bytes(1 << 24))).empty());
  EXPECT_FALSE(out.putMessage(RTMPChunkType::zero, 4, RTMPAudioMessage(1, 0, Bytes((1 << 24) - 1))).empty());
  EXPECT_TRUE(out.putMessage(RTMPChunkType::zero, 1, RTMPAudioMessage(1, 0, Bytes(1))).empty());
  // The extended timestamp follows every chunk's header, continuations included.
  EXPECT_EQ(chunked(RTMPVideoMessage(1, 0xFFFFFF, pattern(200)), 5).size(), 12u + 4 + 1 + 4 + 200);
  EXPECT_EQ(chunked(RTMPVideoMessage(1, 0xFFFFFE, pattern(200)), 5).size(), 12u + 1 + 200);
}

TEST(ChunkReaderTest, ReassemblesWhateverWayTheBytesAreSplit) {
  const RTMPVideoMessage video(1, 0xFFFFFF + 5, pattern(300));
  const RTMPAudioMessage audio(1, 20, pattern(130, 3));
  // Chunk stream ids in the one-, two- and three-byte basic header; 65538 must
  // not share chunk stream 2's state.
  const Bytes stream = concat({chunked(video, 5), chunked(audio, 320), chunked(RTMPSetChunkSizeMessage(0, 0, 64), 2),
                               chunked(RTMPVideoMessage(1, 40, pattern(100)), 5, 64, RTMPChunkType::one),
                               chunked(audio, 64, 64), chunked(audio, 65538, 64), chunked(audio, 65599, 64)});
  const std::vector<std::tuple<uint32_t, uint32_t, Bytes>> expected = {
      {5, 0xFFFFFF + 5, video.payload()}, {320, 20, audio.payload()}, {2, 0, {0, 0, 0, 64}}, {5, 40, pattern(100)},
      {64, 20, audio.payload()},          {65538, 20, audio.payload()}, {65599, 20, audio.payload()}};
  auto check = [&](const Received& r, const RTMPChunkReader& reader) {
    std::vector<std::tuple<uint32_t, uint32_t, Bytes>> got;
    for (const auto& m : r) got.emplace_back(m.chunkStreamId, m.message->timestamp, m.message->payload());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(reader.bufferedBytes(), 0u);
  };
  const std::span<const uint8_t> all(stream);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    // Handed over as the connection's received blocks (the corpus replay
    // holds append() to the same messages).
    RTMPChunkReader owned;
    Received o;
    for (const auto part : {all.first(cut), all.subspan(cut)}) {
      owned.put(Bytes(part.begin(), part.end()));
      for (auto result = owned.read(); result.status == RTMPChunkReader::Status::message; result = owned.read())
        o.push_back(result.received);
    }
    check(o, owned);
  }
}

TEST(ChunkReaderTest, EachReadGivesOneMessageOrSaysMoreBytesAreNeeded) {
  // The peer changes its size twice and at once sends at the last size: one
  // block, read message by message with each size applied once, in order.
  const Bytes block = concat({chunked(RTMPSetChunkSizeMessage(0, 0, 4096), 2),
                              chunked(RTMPVideoMessage(1, 1, pattern(5000)), 5, 4096),
                              chunked(RTMPSetChunkSizeMessage(0, 0, 1000), 2, 4096),
                              chunked(RTMPVideoMessage(1, 2, pattern(2500, 1)), 5, 1000, RTMPChunkType::one)});
  RTMPChunkReader reader;
  reader.put(std::span<const uint8_t>(block).first(block.size() - 10));
  std::vector<uint32_t> sizes;
  Received r;
  for (auto result = reader.read(); result.status == RTMPChunkReader::Status::message; result = reader.read()) {
    sizes.push_back(reader.chunkSize());
    r.push_back(result.received);
    // Nothing runs ahead of the caller: what follows a message is still unread.
    if (r.size() == 1) EXPECT_EQ(reader.bufferedBytes(), block.size() - 10 - 16);
  }
  EXPECT_EQ(sizes, (std::vector<uint32_t>{4096, 4096, 1000}));
  // The last chunk's first bytes went straight into the message.
  EXPECT_EQ(reader.bufferedBytes(), 0u);
  EXPECT_EQ(reader.chunkStream(5)->position(), 2500u - 10);
  reader.put(Bytes(block.end() - 10, block.end()));
  const auto last = reader.read();
  ASSERT_EQ(last.status, RTMPChunkReader::Status::message);
  EXPECT_EQ(last.received.chunkType, RTMPChunkType::one);
  EXPECT_EQ(last.received.message->payload(), pattern(2500, 1));
  EXPECT_EQ(r.at(1).message->payload(), pattern(5000));
  EXPECT_EQ(reader.read().status, RTMPChunkReader::Status::needMoreData);
  // Sizes out of range are refused; large ones are held to the largest message.
  for (uint32_t bad : {0u, 0x80000000u}) EXPECT_FALSE(reader.setChunkSize(bad));
  EXPECT_TRUE(reader.setChunkSize(0x7FFFFFFF));
  EXPECT_EQ(reader.chunkSize(), 0xFFFFFFu);
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
    reader.reset();
    EXPECT_EQ(reader.append(chunked(RTMPAudioMessage(1, 0, pattern(5)), 4), into(r)),
              RTMPChunkReader::Status::needMoreData);
    EXPECT_EQ(r.size(), 2u);
  }
}

TEST(ChunkReaderTest, StreamsTheWriterNeverMakes) {
  const Bytes a = chunked(RTMPAudioMessage(1, 0, pattern(200, 1)), 4);
  const Bytes v = chunked(RTMPVideoMessage(1, 0, pattern(200, 2)), 5);
  const Bytes next = pattern(200, 9);
  const struct {
    const char* what;
    Bytes bytes;
    std::vector<Bytes> payloads;
  } cases[] = {
      {"interleaved chunk streams",
       concat({Bytes(a.begin(), a.begin() + 140), Bytes(v.begin(), v.begin() + 140), Bytes(a.begin() + 140, a.end()),
               Bytes(v.begin() + 140, v.end())}),
       {pattern(200, 1), pattern(200, 2)}},
      {"type 3 between messages repeats the length",
       concat({type0(0x04, 5, 0, 8), type0(0x04, 5, 3, 8), Bytes{1, 2, 3, 0xC4, 4, 5, 6}}),
       {{}, {1, 2, 3}, {4, 5, 6}}},
      {"type 1 carries its own length", Bytes{0x47, 0, 0, 1, 0, 0, 2, 8, 0xAA, 0xBB, 0xC7, 0xCC, 0xDD},
       {{0xAA, 0xBB}, {0xCC, 0xDD}}},
      {"extended timestamp not repeated on the continuation",
       concat({type0(0x04, 0xFFFFFF, 130, 8), Bytes{0x01, 0, 0, 0}, pattern(128), Bytes{0xC4, 0xAA, 0xBB}}),
       {concat({pattern(128), Bytes{0xAA, 0xBB}})}},
      {"unknown type ids consumed",
       concat({type0(0x04, 0, 2, 7), Bytes{1, 2}, type0(0x04, 0, 2, 21), Bytes{3, 4}, type0(0x04, 0, 1, 8), Bytes{9}}),
       {{9}}},
      {"abort drops the partial message",
       concat({type0(0x04, 0, 200, 8), pattern(128), chunked(RTMPAbortMessge(0, 0, 4), 2), Bytes{0xC4},
               Bytes(next.begin(), next.begin() + 128), Bytes{0xC4}, Bytes(next.begin() + 128, next.end())}),
       {{0, 0, 0, 4}, next}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(payloads(c.bytes), c.payloads);
  }
}

TEST(ChunkReaderTest, AnnouncedLengthsClaimNoMoreThanTheReadAheadAllowance) {
  constexpr size_t kAllowance = RTMPChunkReader::kReadAheadAllowance;
  RTMPChunkReader reader;
  reader.setChunkSize(10);
  Received r;
  // A hundred chunk streams each announce 16 MiB and send one chunk of ten bytes.
  const Bytes header = type0(0, 0, 0xFFFFFF, 8);
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

// The module logger's lines as the console prints them, while it lives.
class PrintedLines {
 public:
  PrintedLines()
      : file_(std::tmpfile()), previousAppender_(logger().appender()), previousLevel_(logger().level()) {
    logger().setAppender(std::make_shared<logwell::ConsoleAppender>(file_));
    logger().setLevel(logwell::LWLogLevel::warn);
  }
  ~PrintedLines() {
    logger().setAppender(previousAppender_);
    logger().setLevel(previousLevel_);
    std::fclose(file_);
  }
  std::vector<std::string> lines() const {
    std::fflush(file_);
    std::rewind(file_);
    std::vector<std::string> out;
    char buf[1024];
    while (std::fgets(buf, sizeof buf, file_)) {
      std::string line(buf);
      if (!line.empty() && line.back() == '\n') line.pop_back();
      out.push_back(line);
    }
    return out;
  }

 private:
  std::FILE* file_;
  std::shared_ptr<logwell::LWLoggerAppender> previousAppender_;
  logwell::LWLogLevel previousLevel_;
};

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(ChunkLogTest, RefusalsAndDropsPrintOneBlankBetweenWords) {
  PrintedLines printed;
  RTMPChunkReader reader;
  EXPECT_FALSE(reader.setChunkSize(0));
  Received r;
  // A message cut short by the next type 0 header on its chunk stream, then a
  // type 3 chunk on a stream nothing has begun.
  reader.append(concat({type0(0x04, 0, 200, 8), pattern(128), type0(0x04, 0, 1, 8), Bytes{9}, Bytes{0xC9, 1}}),
                into(r));
  EXPECT_TRUE(RTMPChunkBuffer().putMessage(RTMPChunkType::zero, 1, RTMPAudioMessage(1, 0, Bytes(1))).empty());
  const auto lines = printed.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(endsWith(lines[0], "refused the peer's chunk size 0")) << lines[0];
  EXPECT_NE(lines[1].find("dropped a partial message: RTMPChunkMessageHeader"), std::string::npos) << lines[1];
  EXPECT_TRUE(endsWith(lines[2], "malformed chunk stream: a chunk of type 3 on chunk stream 9 continues no message header"))
      << lines[2];
  EXPECT_NE(lines[3].find("refused to send a message of 1 bytes on chunk stream 1: "), std::string::npos) << lines[3];
  for (const auto& line : lines) EXPECT_EQ(line.find("  "), std::string::npos) << line;
}

}  // namespace
