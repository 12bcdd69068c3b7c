#pragma once
// The RTMP handshake packets this client sends (C0+C1, C2) and the server's
// bytes (S0, S1, S2) gathered until the handshake is over. The connection
// drives it: send c0c1(), append what arrives, send c2() once S0+S1 are in,
// and take the bytes after S2 (the first chunks) when S2 is complete.
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <span>

#include "Medley/Sources/Extension/Data.h"
#include "Platform/Time/Date.h"

namespace rtmpmedley {

class RTMPHandshake {
 public:
  static constexpr uint8_t kVersion = 3;
  static constexpr size_t kPacketSize = 1536;
  static constexpr size_t kRandomSize = 1528;

  explicit RTMPHandshake(std::shared_ptr<platform::WallClock> clock = platform::WallClock::system());

  // Seconds since 1970, the time base of C1 and C2; 0 after every reset.
  double timestamp = 0;
  // The server's handshake bytes received so far.
  medley::Data inputBuffer;

  // A fresh C0+C1 (1537 bytes); its random part differs every time.
  medley::Data c0c1();

  void put(std::span<const uint8_t> bytes) { inputBuffer.insert(inputBuffer.end(), bytes.begin(), bytes.end()); }
  // S0 and S1 are in, so C2 can be made.
  bool hasS0S1() const { return inputBuffer.size() >= 1 + kPacketSize; }
  // C2 from S1, removing S0 and S1 from the input; none before they are in.
  std::optional<medley::Data> c2();
  // After c2(): S2 is in.
  bool hasS2() const { return c2Made_ && inputBuffer.size() >= kPacketSize; }
  // After c2(), once S2 is in: the bytes that came after it (the first
  // chunks), leaving the input empty; none while S2 is incomplete.
  std::optional<medley::Data> takeSurplus();

  void reset() {
    inputBuffer.clear();
    timestamp = 0;
    c2Made_ = false;
  }

 private:
  // Seconds since `timestamp` as the 32-bit field; wraps rather than overflows.
  uint32_t timeField() const;

  std::shared_ptr<platform::WallClock> clock_;
  std::mt19937 random_;
  bool c2Made_ = false;
};

}  // namespace rtmpmedley
