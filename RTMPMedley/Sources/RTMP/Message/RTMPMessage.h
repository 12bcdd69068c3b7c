#pragma once
// One RTMP message: its kind (type id), message stream id, timestamp in
// milliseconds and payload. The chunk layer, the connection and the streams
// pass messages only as these values; `make` turns a reassembled payload into
// the typed message of its type id.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Medley/Sources/Extension/Data.h"

namespace rtmpmedley {

using Data = medley::Data;

enum class RTMPMessageType : uint8_t {
  chunkSize = 1,
  abort = 2,
  ack = 3,
  user = 4,
  windowAck = 5,
  bandwidth = 6,
  audio = 8,
  video = 9,
  amf3Data = 15,
  amf3Shared = 16,
  amf3Command = 17,
  amf0Data = 18,
  amf0Shared = 19,
  amf0Command = 20,
  aggregate = 22,
};

// None for type ids without a message kind.
std::optional<RTMPMessageType> makeRTMPMessageType(uint8_t rawValue);

enum class RTMPObjectEncoding : uint8_t { amf0 = 0, amf3 = 3 };

std::optional<RTMPObjectEncoding> makeRTMPObjectEncoding(uint8_t rawValue);

class RTMPMessage;
using RTMPMessagePtr = std::shared_ptr<RTMPMessage>;

class RTMPMessage {
 public:
  virtual ~RTMPMessage() = default;

  virtual RTMPMessageType type() const = 0;
  // The body as sent on the wire (control messages build it from their fields).
  virtual const Data& payload() const = 0;
  // One line for the "<<" and ">>" log lines.
  virtual std::string description() const;

  uint32_t streamId = 0;
  uint32_t timestamp = 0;

  // The typed message of a received payload; none for type ids without a
  // message kind and for payloads that cannot be read (logged).
  static RTMPMessagePtr make(uint8_t typeId, uint32_t streamId, uint32_t timestamp, Data payload);

 protected:
  RTMPMessage(uint32_t streamId, uint32_t timestamp) : streamId(streamId), timestamp(timestamp) {}
  RTMPMessage(const RTMPMessage&) = default;
  RTMPMessage& operator=(const RTMPMessage&) = default;
};

// A message whose payload is kept as given: audio, video, aggregate.
class RTMPPayloadMessage : public RTMPMessage {
 public:
  const Data& payload() const override { return payload_; }
  Data& mutablePayload() { return payload_; }
  std::string description() const override;

 protected:
  RTMPPayloadMessage(uint32_t streamId, uint32_t timestamp, Data payload)
      : RTMPMessage(streamId, timestamp), payload_(std::move(payload)) {}

 private:
  Data payload_;
};

class RTMPAggregateMessage final : public RTMPPayloadMessage {
 public:
  RTMPAggregateMessage(uint32_t streamId, uint32_t timestamp, Data payload)
      : RTMPPayloadMessage(streamId, timestamp, std::move(payload)) {}
  RTMPMessageType type() const override { return RTMPMessageType::aggregate; }
};

}  // namespace rtmpmedley
