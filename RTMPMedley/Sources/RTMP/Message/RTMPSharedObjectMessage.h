#pragma once
// A shared-object message (type 19 for AMF0, 16 for AMF3): object name,
// version, eight flag bytes and a list of events.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPSharedObjectEvent.h"

namespace rtmpmedley {

class RTMPSharedObjectMessage final : public RTMPMessage {
 public:
  // Builds and serialises the payload. A name of 65536 bytes or more cannot
  // be written and throws std::length_error. `flags` must be 8 bytes (padded or cut otherwise).
  RTMPSharedObjectMessage(uint32_t streamId, uint32_t timestamp, RTMPObjectEncoding objectEncoding,
                          std::string sharedObjectName, uint32_t currentVersion, Data flags,
                          std::vector<RTMPSharedObjectEvent> events);

  // A received payload; none (logged) when its header cannot be read. Events
  // that cannot be read are left out.
  static std::shared_ptr<RTMPSharedObjectMessage> read(uint32_t streamId, uint32_t timestamp,
                                                       RTMPObjectEncoding objectEncoding, Data payload);

  RTMPMessageType type() const override {
    return objectEncoding == RTMPObjectEncoding::amf3 ? RTMPMessageType::amf3Shared : RTMPMessageType::amf0Shared;
  }
  const Data& payload() const override { return payload_; }
  std::string description() const override;

  RTMPObjectEncoding objectEncoding;
  std::string sharedObjectName;
  uint32_t currentVersion = 0;
  Data flags;
  std::vector<RTMPSharedObjectEvent> events;

 private:
  RTMPSharedObjectMessage(uint32_t streamId, uint32_t timestamp, RTMPObjectEncoding encoding, Data payload)
      : RTMPMessage(streamId, timestamp), objectEncoding(encoding), payload_(std::move(payload)) {}
  Data payload_;
};

}  // namespace rtmpmedley
