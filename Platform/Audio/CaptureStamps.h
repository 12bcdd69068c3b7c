#pragma once
// Host times for captured sound. The samples run on one continuous line: the
// first block anchors it at its measured capture time, and every later block
// is stamped from the count of samples since. The server's latency reading
// jitters (by seconds where a source delivers in blocks of seconds), so it
// never moves the line by itself; the line moves only where it is plainly
// wrong:
//  - samples the server lost (a hole) are counted, and an overrun of unknown
//    size lets the next block anchor the line anew;
//  - a block cannot end after it arrived: a line ahead of the host clock is
//    pulled back to the arrival;
//  - when every block over a drift window arrived later after the line's end
//    than the best seen, by more than kMaxDrift, the device runs slow against
//    the host clock and the line moves on by that much.
#include <cstdint>
#include <limits>
#include <optional>

namespace platform {

class CaptureStamps {
 public:
  static constexpr double kDriftWindow = 5.0;  // host seconds
  static constexpr double kMaxDrift = 0.02;

  explicit CaptureStamps(double sampleRate) : rate_(sampleRate) {}

  // Host seconds of the first frame of `frames` frames that arrived at host
  // time `arrival`, whose first frame the server places at `measured`.
  double stamp(int64_t frames, double measured, double arrival);
  // The server lost `frames` frames here: the line runs past them.
  void skip(int64_t frames) { count_ += frames; }
  // The server dropped an unknown amount: the next block anchors the line.
  void reanchor() { anchor_.reset(); }

  bool anchored() const { return anchor_.has_value(); }

 private:
  double rate_;
  std::optional<double> anchor_;  // host seconds of sample 0
  int64_t count_ = 0;             // samples since the anchor
  double windowStart_ = 0;
  double windowSlack_ = std::numeric_limits<double>::infinity();
  std::optional<double> bestSlack_;  // least lag of a block's end behind its arrival, over whole windows
};

}  // namespace platform
