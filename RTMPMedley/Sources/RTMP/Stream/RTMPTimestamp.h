#pragma once
// Millisecond timestamp deltas of one kind of outgoing message (audio or
// video). Each delta is the whole milliseconds since the previous message of
// its kind; the dropped fractions are carried and paid back one millisecond at
// a time, so the sum of the deltas never lags the elapsed time by a whole
// millisecond. The first message has delta 0.
#include <cstdint>
#include <exception>

namespace rtmpmedley {

class RTMPTimestamp {
 public:
  class Error : public std::exception {
   public:
    enum class Kind {
      // The time does not advance (equal, earlier, or not a number).
      invalidSequence,
      // The delta does not fit the 32-bit timestamp field.
      outOfRange,
    };
    explicit Error(Kind kind) : kind_(kind) {}
    Kind kind() const { return kind_; }
    const char* what() const noexcept override;

   private:
    Kind kind_;
  };

  // The delta for a message at `seconds`; throws Error and changes nothing
  // when the time cannot follow the last accepted one (the first accepts any
  // finite time, zero included).
  uint32_t update(double seconds);

  // Play side: a received timestamp (milliseconds), absolute on chunk type 0,
  // a delta otherwise.
  void receive(uint32_t milliseconds, bool absolute);

  double startedAt() const { return startedAt_; }
  double updatedAt() const { return updatedAt_; }
  double timedeltaFraction() const { return timedeltaFraction_; }

 private:
  // Whether a time was accepted: a first time of zero is a time like any other.
  bool started_ = false;
  double startedAt_ = 0;
  double updatedAt_ = 0;
  double timedeltaFraction_ = 0;
};

}  // namespace rtmpmedley
