#pragma once
// A command (type 20 for AMF0, 17 for AMF3): command name, transaction id,
// optional command object and arguments, all AMF0 values. The AMF3 form starts
// with one 0x00 byte.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

class RTMPCommandMessage final : public RTMPMessage {
 public:
  // Builds and serialises the payload. Object keys of 65536 bytes or more
  // cannot be written and throw std::length_error.
  RTMPCommandMessage(uint32_t streamId, uint32_t timestamp, RTMPObjectEncoding objectEncoding,
                     std::string commandName, int64_t transactionId, std::optional<AMFObject> commandObject,
                     AMFList arguments);

  // A received payload; none (logged) when it cannot be read.
  static std::shared_ptr<RTMPCommandMessage> read(uint32_t streamId, uint32_t timestamp,
                                                  RTMPObjectEncoding objectEncoding, Data payload);

  RTMPMessageType type() const override {
    return objectEncoding == RTMPObjectEncoding::amf3 ? RTMPMessageType::amf3Command : RTMPMessageType::amf0Command;
  }
  const Data& payload() const override { return payload_; }
  std::string description() const override;

  RTMPObjectEncoding objectEncoding;
  std::string commandName;
  int64_t transactionId;
  std::optional<AMFObject> commandObject;
  AMFList arguments;

 private:
  RTMPCommandMessage(uint32_t streamId, uint32_t timestamp, RTMPObjectEncoding encoding, Data payload)
      : RTMPMessage(streamId, timestamp), objectEncoding(encoding), transactionId(0), payload_(std::move(payload)) {}
  Data payload_;
};

}  // namespace rtmpmedley
