#pragma once
// A data message (type 18 for AMF0, 15 for AMF3): a handler name and its
// arguments as AMF0 values, such as "@setDataFrame" with the stream metadata.
#include <cstdint>
#include <memory>
#include <string>

#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

class RTMPDataMessage final : public RTMPMessage {
 public:
  // Builds and serialises the payload; object keys of 65536 bytes or more throw std::length_error.
  RTMPDataMessage(uint32_t streamId, uint32_t timestamp, RTMPObjectEncoding objectEncoding,
                  std::string handlerName, AMFList arguments);

  // A received payload; none (logged) when it cannot be read.
  static std::shared_ptr<RTMPDataMessage> read(uint32_t streamId, uint32_t timestamp,
                                               RTMPObjectEncoding objectEncoding, Data payload);

  RTMPMessageType type() const override {
    return objectEncoding == RTMPObjectEncoding::amf3 ? RTMPMessageType::amf3Data : RTMPMessageType::amf0Data;
  }
  const Data& payload() const override { return payload_; }
  std::string description() const override;

  RTMPObjectEncoding objectEncoding;
  std::string handlerName;
  AMFList arguments;

 private:
  RTMPDataMessage(uint32_t streamId, uint32_t timestamp, RTMPObjectEncoding encoding, Data payload)
      : RTMPMessage(streamId, timestamp), objectEncoding(encoding), payload_(std::move(payload)) {}
  Data payload_;
};

}  // namespace rtmpmedley
