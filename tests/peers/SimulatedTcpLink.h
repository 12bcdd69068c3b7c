#pragma once
// One TCP connection over a link with a fixed round trip and bandwidth, on the
// test's clock: our queue, the sending kernel (unsent bytes up to the
// low-water mark, bytes in flight up to the congestion and the peer's receive
// window), the link (serialised at its rate, then half the round trip), the
// receiving kernel (its buffer, its acknowledgements and window, half the
// round trip back) and the peer's program, which reads at once (or at a set
// pace) until frozen and may send RTMP acknowledgements of what it read. What
// it shows is what a real socket's kernel tells: the figures of
// RTMPOutputAccount::Sample.
#include <algorithm>
#include <cstdint>
#include <deque>

#include "Platform/Time/HostClock.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPOutputAccount.h"

namespace rtmptest {

struct LinkShape {
  platform::Nanos roundTrip = platform::milliseconds(200);
  int64_t bytesPerSecond = 2'500'000;
  uint64_t receiveBuffer = 256 * 1024;
  // The peer's program says what it read every `ackWindow` bytes (0: never).
  uint64_t ackWindow = 16 * 1024;
  // Bytes in flight at most; 0: twice the path's bandwidth-delay product, at least 64 KiB.
  uint64_t congestionWindow = 0;
  // The peer's program reads at most this many bytes a second (0: at once),
  // a `readEvery`'s worth at a time, as a paced reader sleeping between reads does.
  int64_t readBytesPerSecond = 0;
  platform::Nanos readEvery = platform::milliseconds(1);
};

class SimulatedTcpLink {
 public:
  static constexpr uint64_t kUnsentLowWater = 128 * 1024;

  explicit SimulatedTcpLink(LinkShape shape) : shape_(shape) {
    const auto bdp = static_cast<uint64_t>(static_cast<double>(shape.bytesPerSecond) *
                                           static_cast<double>(shape.roundTrip) / 1e9);
    cwnd_ = shape.congestionWindow ? shape.congestionWindow : std::max<uint64_t>(64 * 1024, 2 * bdp);
    senderEdge_ = receiverEdge_ = shape.receiveBuffer;
  }

  // The application hands bytes over.
  void write(uint64_t bytes) { queued_ += bytes; }
  // The peer's program stops reading, or reads again.
  void freeze(bool frozen) { frozen_ = frozen; }

  // Everything up to `now`, in steps of a millisecond.
  void advanceTo(platform::Nanos now) {
    while (now_ < now) {
      now_ = std::min(now, now_ + platform::milliseconds(1));
      step();
    }
  }

  rtmpmedley::RTMPOutputAccount::Sample sample() const {
    rtmpmedley::RTMPOutputAccount::Sample s;
    s.at = now_;
    s.connected = true;
    s.queued = queued_;
    s.written = written_;
    platform::TcpKernelView k;
    k.unacknowledged = written_ - acked_;
    k.unsent = written_ - sent_;
    k.acknowledged = acked_;
    k.peerWindow = senderEdge_ - acked_;
    k.roundTrip = shape_.roundTrip;
    k.minimumRoundTrip = shape_.roundTrip;
    s.kernel = k;
    s.peerRead = peerRead_;
    s.peerWindow = peerWindow_;
    s.peerAllowedAt = peerAllowedAt_;
    return s;
  }
  uint64_t readByPeer() const { return read_; }

 private:
  struct Segment {
    platform::Nanos arrives;
    uint64_t end;
  };
  struct Ack {
    platform::Nanos arrives;
    uint64_t acknowledged;
    uint64_t edge;
    uint64_t programRead;  // 0: no RTMP acknowledgement with it
  };

  void step() {
    const platform::Nanos oneWay = shape_.roundTrip / 2;
    // Acknowledgements that came back.
    while (!toSender_.empty() && toSender_.front().arrives <= now_) {
      const Ack a = toSender_.front();
      toSender_.pop_front();
      acked_ = std::max(acked_, a.acknowledged);
      senderEdge_ = std::max(senderEdge_, a.edge);
      if (a.programRead) {
        const uint64_t allowed = peerRead_ + peerWindow_;
        peerRead_ = std::max(peerRead_, a.programRead);
        peerWindow_ = shape_.ackWindow;
        if (peerRead_ + peerWindow_ > allowed) peerAllowedAt_ = now_;
      }
    }
    // Segments that arrived: the receiving kernel takes them, the program
    // reads (unless frozen), the kernel answers with its window, whose right
    // edge never moves back.
    bool arrived = false;
    while (!toReceiver_.empty() && toReceiver_.front().arrives <= now_) {
      received_ = toReceiver_.front().end;
      toReceiver_.pop_front();
      arrived = true;
    }
    uint64_t programRead = 0;
    const bool readsNow = !shape_.readBytesPerSecond || now_ >= nextReadAt_;
    if (readsNow) nextReadAt_ = now_ + shape_.readEvery;
    if (!frozen_ && read_ < received_ && readsNow) {
      const uint64_t before = read_;
      // A paced reader takes its share at most, never saving up.
      const auto share = static_cast<uint64_t>(static_cast<double>(shape_.readBytesPerSecond) *
                                               static_cast<double>(shape_.readEvery) / 1e9);
      read_ = shape_.readBytesPerSecond ? std::min(received_, read_ + share) : received_;
      if (shape_.ackWindow && read_ / shape_.ackWindow != before / shape_.ackWindow) programRead = read_;
    }
    const uint64_t edge = std::max(receiverEdge_, read_ + shape_.receiveBuffer);
    if (arrived || edge > receiverEdge_ || programRead) {
      receiverEdge_ = edge;
      toSender_.push_back({now_ + oneWay, received_, receiverEdge_, programRead});
    }
    // Our queue into the kernel, up to its low-water mark of unsent bytes.
    const uint64_t unsent = written_ - sent_;
    if (unsent < kUnsentLowWater) {
      const uint64_t take = std::min(queued_, kUnsentLowWater - unsent);
      queued_ -= take;
      written_ += take;
    }
    // Onto the link, as far as both windows allow.
    const uint64_t limit = std::min(acked_ + cwnd_, senderEdge_);
    if (sent_ < limit && sent_ < written_) {
      const uint64_t bytes = std::min(limit, written_) - sent_;
      sent_ += bytes;
      const platform::Nanos start = std::max(now_, linkFreeAt_);
      linkFreeAt_ = start + static_cast<platform::Nanos>(static_cast<double>(bytes) * 1e9 /
                                                         static_cast<double>(shape_.bytesPerSecond));
      toReceiver_.push_back({linkFreeAt_ + oneWay, sent_});
    }
  }

  const LinkShape shape_;
  uint64_t cwnd_ = 0;
  platform::Nanos now_ = 0;
  bool frozen_ = false;
  // Sender.
  uint64_t queued_ = 0, written_ = 0, sent_ = 0, acked_ = 0, senderEdge_ = 0;
  uint64_t peerRead_ = 0, peerWindow_ = 0;
  platform::Nanos peerAllowedAt_ = 0;
  platform::Nanos linkFreeAt_ = 0;
  // Receiver.
  platform::Nanos nextReadAt_ = 0;
  uint64_t received_ = 0, read_ = 0, receiverEdge_ = 0;
  std::deque<Segment> toReceiver_;
  std::deque<Ack> toSender_;
};

}  // namespace rtmptest
