#pragma once
// Turns the received chunk stream into messages: it keeps one reassembly
// record per chunk stream id, applies the peer's chunk size and abort
// messages at the message boundary where they arrive, and hands out complete
// messages one at a time, in order.
//
// Each payload byte is copied once, from the received bytes straight into its
// message; only a chunk header split across two reads is gathered in a small
// buffer. Bytes handed to put() are kept until read; append() reads the bytes
// it is given while they are lent to it.
//
// Reading is a result, not an exception: each read() gives the next message,
// says that more bytes are needed, or that the stream is malformed. A
// malformed stream stays so until reset(): its framing is lost.
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <unordered_map>

#include "Medley/Sources/Extension/Data.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunk.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkMessageHeader.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

class RTMPChunkReader {
 public:
  static constexpr uint32_t kDefaultChunkSize = 128;
  // Payload storage reserved ahead of the bytes received, over all chunk
  // streams: a message then takes one allocation however its bytes arrive,
  // and announced lengths alone never claim more than this.
  static constexpr size_t kReadAheadAllowance = 1 << 20;

  struct Received {
    RTMPMessagePtr message;
    // The chunk type of the message's first chunk.
    RTMPChunkType chunkType = RTMPChunkType::zero;
    uint32_t chunkStreamId = 0;
  };
  enum class Status : uint8_t {
    // `received` holds the next message.
    message,
    // Every received byte has been read; the rest of the message waits for more.
    needMoreData,
    // A chunk continues a message header its chunk stream never had;
    // `received` names the chunk type and chunk stream of the offending chunk.
    malformed,
  };
  struct Result {
    Status status = Status::needMoreData;
    Received received;
  };
  using Handler = std::function<void(const Received&)>;

  // Appends received bytes (copied; a moved block is taken as it is).
  void put(std::span<const uint8_t> bytes);
  void put(medley::Data&& bytes);
  // The next complete message. Type ids without a message kind and unreadable
  // payloads are consumed without a result. A chunk size or abort takes
  // effect before the chunk after it is read. Nothing is read beyond the
  // message returned.
  Result read();
  // Reads `bytes` (and whatever put() left unread before them) to the end:
  // `onMessage` for each message, and what the last read said (needMoreData
  // or malformed). Only a split chunk header outlives the call.
  Status append(std::span<const uint8_t> bytes, const Handler& onMessage);

  uint32_t chunkSize() const { return chunkSize_; }
  // Applies a chunk size the peer announced (1...0xFFFFFF; larger values are
  // clamped); false, and no change, for 0 or a value with the top bit set.
  bool setChunkSize(uint32_t announced);

  // Back to a new connection's state: chunk size 128, no bytes, no records.
  void reset();

  bool isMalformed() const { return malformed_; }
  size_t chunkStreamCount() const { return chunks_.size(); }
  // The record of a chunk stream, or nullptr.
  const RTMPChunkMessageHeader* chunkStream(uint32_t chunkStreamId) const;
  // Received bytes not read yet (a partly read chunk's data is in its record).
  size_t bufferedBytes() const { return (input_.size() - position_) + (stashEnd_ - stashBegin_); }
  // Payload storage reserved ahead of received bytes, at most kReadAheadAllowance.
  size_t reservedAhead() const { return reservedAhead_; }

 private:
  // A chunk header at the front of some bytes.
  struct Header {
    RTMPChunkType type = RTMPChunkType::zero;
    uint32_t chunkStreamId = 0;
    // The chunk stream's record, none before its first chunk.
    RTMPChunkMessageHeader* record = nullptr;
    size_t size = 0;
    uint32_t timestamp = 0;
    uint32_t messageLength = 0;
    uint8_t messageTypeId = 0;
    uint32_t messageStreamId = 0;
    bool extended = false;
  };
  enum class Parse : uint8_t { header, needMoreData, malformed };

  // Reads from the stash, then `in` (advanced past what was read), up to the
  // end of the next message.
  Result next(std::span<const uint8_t>& in);
  Parse parseHeader(const uint8_t* p, size_t available, Header& header);
  RTMPChunkMessageHeader* find(uint32_t chunkStreamId);
  // Ends a record's claim on the read-ahead allowance.
  void settle(RTMPChunkMessageHeader& record);
  // Takes a parsed header into its record; answers the chunk's data size.
  size_t begin(Header& header, size_t available);
  // Copies up to `remaining_` bytes of the current chunk from `bytes`.
  size_t take(const uint8_t* bytes, size_t count);
  // What a message does to the chunk stream itself (chunk size, abort).
  void apply(const RTMPMessage& message);
  Result fail(RTMPChunkType type, uint32_t chunkStreamId);
  void compact();

  uint32_t chunkSize_ = kDefaultChunkSize;
  std::unordered_map<uint32_t, RTMPChunkMessageHeader> chunks_;
  // The records of one-byte chunk stream ids, the ones peers use, without a lookup.
  std::array<RTMPChunkMessageHeader*, 64> low_{};
  size_t reservedAhead_ = 0;
  // Bytes put and not read yet, from position_ on.
  medley::Data input_;
  size_t position_ = 0;
  // The front of a chunk header that was split across reads (and, once it is
  // whole, bytes after it); read before any other input.
  std::array<uint8_t, 32> stash_{};
  size_t stashBegin_ = 0;
  size_t stashEnd_ = 0;
  // The chunk whose data is being read, and its bytes still to come.
  RTMPChunkMessageHeader* current_ = nullptr;
  uint32_t currentId_ = 0;
  size_t remaining_ = 0;
  bool malformed_ = false;
  Received malformedAt_;
};

}  // namespace rtmpmedley
