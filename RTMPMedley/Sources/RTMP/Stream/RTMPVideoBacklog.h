#pragma once
// Encoded pictures a stream handed to its connection that may still wait in
// the transport, by media time. It bounds that wait by time, not bytes: once
// the oldest picture still waiting is more than `bound` seconds older than a
// new one, the new one and the rest of its group of pictures are dropped, and
// so is every later group whose key frame comes while the wait is still over
// the bound; sending starts again at a key frame, so a viewer's decoder sees a
// pause, never a broken picture. What already waits is not touched: its chunk
// headers carry deltas the server sums. Sound is not held back (it costs
// little, and a gap would be heard). Drops are counted, the first and every
// 300th logged.
//
// The bound lies above the queue times the bit-rate control reacts to, so
// that control sees congestion as before; this only keeps a link that cannot
// carry the stream from piling up minutes of pictures. The stream's actor makes
// every call.
#include <cstdint>
#include <deque>

#include "RTMPMedley/Sources/RTMP/Connection/RTMPTransport.h"

namespace rtmpmedley {

class RTMPVideoBacklog {
 public:
  static constexpr double kDefaultBound = 4.0;

  explicit RTMPVideoBacklog(double bound = kDefaultBound) : bound_(bound) {}

  // Whether the picture at `time` (seconds) goes out, given how far the
  // transport has written; false counts it as dropped.
  bool admits(double time, bool keyFrame, const RTMPTransport::OutputProgress& progress);
  // The picture went out; the transport had been handed `handedAfter` bytes with it.
  void sent(double time, uint64_t handedAfter);
  // A new connection counts its bytes from zero.
  void reset();

  uint64_t droppedCount() const { return dropped_; }

 private:
  struct Waiting {
    uint64_t handedAfter;
    double time;
  };
  const double bound_;
  std::deque<Waiting> waiting_;
  bool skipping_ = false;
  uint64_t dropped_ = 0;
};

}  // namespace rtmpmedley
