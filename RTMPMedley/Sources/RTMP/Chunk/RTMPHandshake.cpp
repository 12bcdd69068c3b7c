#include "RTMPMedley/Sources/RTMP/Chunk/RTMPHandshake.h"

#include <cmath>

#include "RTMPMedley/Sources/RTMP/AMF/ByteArray.h"

namespace rtmpmedley {

RTMPHandshake::RTMPHandshake(std::shared_ptr<platform::WallClock> clock)
    : clock_(clock ? std::move(clock) : platform::WallClock::system()), random_(std::random_device{}()) {}

uint32_t RTMPHandshake::timeField() const {
  const double now =
      std::chrono::duration<double>(clock_->now().time_since_epoch()).count();
  const double elapsed = std::trunc(now - timestamp);
  if (!std::isfinite(elapsed)) return 0;
  // Modulo 2^32, the way the field counts.
  const double wrapped = std::fmod(elapsed, 4294967296.0);
  return static_cast<uint32_t>(static_cast<int64_t>(wrapped < 0 ? wrapped + 4294967296.0 : wrapped));
}

medley::Data RTMPHandshake::c0c1() {
  ByteArray packet;
  packet.reserve(1 + kPacketSize);
  packet.writeUInt8(kVersion);
  // C1's time is counted from `timestamp`, 0 right after a reset.
  packet.writeUInt32(static_cast<uint32_t>(static_cast<int64_t>(std::trunc(timestamp))));
  packet.writeUInt32(0);
  uint8_t random[kRandomSize];
  for (auto& b : random) b = static_cast<uint8_t>(random_());
  packet.writeBytes(std::span<const uint8_t>(random, kRandomSize));
  return packet.takeData();
}

std::optional<medley::Data> RTMPHandshake::c2() {
  if (!hasS0S1()) return std::nullopt;
  ByteArray packet;
  packet.reserve(kPacketSize);
  packet.writeBytes(std::span<const uint8_t>(inputBuffer.data() + 1, 4));
  packet.writeUInt32(timeField());
  packet.writeBytes(std::span<const uint8_t>(inputBuffer.data() + 9, kRandomSize));
  inputBuffer.erase(inputBuffer.begin(), inputBuffer.begin() + 1 + kPacketSize);
  c2Made_ = true;
  return packet.takeData();
}

std::optional<medley::Data> RTMPHandshake::takeSurplus() {
  if (!hasS2()) return std::nullopt;
  medley::Data surplus(inputBuffer.begin() + kPacketSize, inputBuffer.end());
  inputBuffer.clear();
  return surplus;
}

}  // namespace rtmpmedley
