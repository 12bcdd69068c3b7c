#pragma once
// The protocol control messages: set chunk size, abort, acknowledgement,
// window acknowledgement size, set peer bandwidth and user control events.
// Immutable: the payload is built from the fields once, at construction, so
// that a message shared between queues and threads is only ever read.
#include <cstdint>
#include <optional>
#include <string>

#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

// A control message whose body is one UInt32 field.
class RTMPUInt32ControlMessage : public RTMPMessage {
 public:
  const Data& payload() const override { return payload_; }
  std::string description() const override;

 protected:
  RTMPUInt32ControlMessage(uint32_t streamId, uint32_t timestamp, uint32_t field);
  virtual uint32_t field() const = 0;
  virtual const char* name() const = 0;
  virtual const char* fieldName() const = 0;

 private:
  const Data payload_;
};

class RTMPSetChunkSizeMessage final : public RTMPUInt32ControlMessage {
 public:
  // The chunk sizes a peer may announce; others are refused (0, the top bit
  // set) or clamped to the largest message length (above 0xFFFFFF).
  static constexpr uint32_t kMaximumSize = 0xFFFFFF;
  // The size to use for an announced value, none when it is refused.
  static std::optional<uint32_t> acceptedSize(uint32_t announced);

  RTMPSetChunkSizeMessage(uint32_t streamId, uint32_t timestamp, uint32_t size)
      : RTMPUInt32ControlMessage(streamId, timestamp, size), size(size) {}
  RTMPMessageType type() const override { return RTMPMessageType::chunkSize; }
  const uint32_t size;

 protected:
  uint32_t field() const override { return size; }
  const char* name() const override { return "RTMPSetChunkSizeMessage"; }
  const char* fieldName() const override { return "size"; }
};

class RTMPAbortMessge final : public RTMPUInt32ControlMessage {
 public:
  RTMPAbortMessge(uint32_t streamId, uint32_t timestamp, uint32_t chunkStreamId)
      : RTMPUInt32ControlMessage(streamId, timestamp, chunkStreamId), chunkStreamId(chunkStreamId) {}
  RTMPMessageType type() const override { return RTMPMessageType::abort; }
  const uint32_t chunkStreamId;

 protected:
  uint32_t field() const override { return chunkStreamId; }
  const char* name() const override { return "RTMPAbortMessge"; }
  const char* fieldName() const override { return "chunkStreamId"; }
};

class RTMPAcknowledgementMessage final : public RTMPUInt32ControlMessage {
 public:
  RTMPAcknowledgementMessage(uint32_t streamId, uint32_t timestamp, uint32_t sequence)
      : RTMPUInt32ControlMessage(streamId, timestamp, sequence), sequence(sequence) {}
  RTMPMessageType type() const override { return RTMPMessageType::ack; }
  const uint32_t sequence;

 protected:
  uint32_t field() const override { return sequence; }
  const char* name() const override { return "RTMPAcknowledgementMessage"; }
  const char* fieldName() const override { return "sequence"; }
};

class RTMPWindowAcknowledgementSizeMessage final : public RTMPUInt32ControlMessage {
 public:
  RTMPWindowAcknowledgementSizeMessage(uint32_t streamId, uint32_t timestamp, uint32_t size)
      : RTMPUInt32ControlMessage(streamId, timestamp, size), size(size) {}
  RTMPMessageType type() const override { return RTMPMessageType::windowAck; }
  const uint32_t size;

 protected:
  uint32_t field() const override { return size; }
  const char* name() const override { return "RTMPWindowAcknowledgementSizeMessage"; }
  const char* fieldName() const override { return "size"; }
};

class RTMPSetPeerBandwidthMessage final : public RTMPMessage {
 public:
  enum class Limit : uint8_t { hard = 0, soft = 1, dynamic = 2, unknown = 255 };

  RTMPSetPeerBandwidthMessage(uint32_t streamId, uint32_t timestamp, uint32_t size, Limit limit);
  RTMPMessageType type() const override { return RTMPMessageType::bandwidth; }
  const Data& payload() const override { return payload_; }
  std::string description() const override;

  const uint32_t size;
  const Limit limit;

 private:
  const Data payload_;
};

class RTMPUserControlMessage final : public RTMPMessage {
 public:
  enum class Event : uint8_t {
    streamBegin = 0,
    streamEof = 1,
    streamDry = 2,
    setBuffer = 3,
    recorded = 4,
    ping = 6,
    pong = 7,
    bufferEmpty = 31,
    bufferFull = 32,
    unknown = 255,
  };
  static std::optional<Event> makeEvent(uint8_t rawValue);

  RTMPUserControlMessage(uint32_t streamId, uint32_t timestamp, Event event, int32_t value);
  RTMPMessageType type() const override { return RTMPMessageType::user; }
  // Event type (UInt16) and value (Int32): always 6 bytes.
  const Data& payload() const override { return payload_; }
  std::string description() const override;

  const Event event;
  const int32_t value;

 private:
  const Data payload_;
};

}  // namespace rtmpmedley
