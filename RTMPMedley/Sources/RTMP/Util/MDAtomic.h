#pragma once
// A box that serialises access to one value: many readers at a time, one
// writer excluding everyone. A change made from inside a read or change of the
// same box deadlocks; callers never nest them.
#include <functional>
#include <shared_mutex>
#include <string>
#include <utility>

#include "Medley/Sources/Util/MedleyLogger.h"

namespace rtmpmedley {

template <typename T>
class MDAtomic {
 public:
  explicit MDAtomic(T value) : value_(std::move(value)) {}
  MDAtomic(const MDAtomic&) = delete;
  MDAtomic& operator=(const MDAtomic&) = delete;

  // A copy of the value.
  T value() const {
    std::shared_lock lock(mutex_);
    return value_;
  }

  // Runs `change` on the value with every reader and writer held off.
  template <typename F>
  void mutate(F&& change) {
    std::unique_lock lock(mutex_);
    std::forward<F>(change)(value_);
  }

  // Reads through `read` without copying.
  template <typename F>
  auto withValue(F&& read) const {
    std::shared_lock lock(mutex_);
    return std::forward<F>(read)(static_cast<const T&>(value_));
  }

  // The label every box's queue carries.
  static std::string label() { return std::string(medley::kLibraryIdentifierPrefix) + ".Medley.Atomic"; }

 private:
  mutable std::shared_mutex mutex_;
  T value_;
};

}  // namespace rtmpmedley
