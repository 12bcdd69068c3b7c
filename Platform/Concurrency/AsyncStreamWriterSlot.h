#pragma once
// Holds the writer of the stream handed out last. Making a new stream (or
// putting another writer in) finishes the previous one, so its reader's loop
// ends: one reader at a time, the last one to ask gets the values.
#include <mutex>
#include <optional>

#include "Platform/Concurrency/AsyncStream.h"

namespace platform {

template <class T>
class AsyncStreamWriterSlot {
 public:
  explicit AsyncStreamWriterSlot(BufferingPolicy policy = BufferingPolicy::unbounded()) : policy_(policy) {}
  ~AsyncStreamWriterSlot() { finish(); }
  AsyncStreamWriterSlot(const AsyncStreamWriterSlot&) = delete;
  AsyncStreamWriterSlot& operator=(const AsyncStreamWriterSlot&) = delete;

  // A new stream with the slot's policy; the previous one finishes.
  AsyncStream<T> makeStream() {
    auto [stream, writer] = AsyncStream<T>::make(policy_);
    replace(std::move(writer));
    return stream;
  }

  // Puts `writer` in (or empties the slot), finishing the writer it replaces.
  void replace(std::optional<AsyncStreamWriter<T>> writer) {
    std::optional<AsyncStreamWriter<T>> old;
    {
      std::lock_guard lock(mutex_);
      old = std::exchange(writer_, std::move(writer));
    }
    if (old) old->finish();  // outside the lock: termination callbacks may call back
  }

  // Passes the value to the current writer; `dropped` when there is none.
  YieldResult yield(T value) {
    std::optional<AsyncStreamWriter<T>> w;
    {
      std::lock_guard lock(mutex_);
      w = writer_;
    }
    return w ? w->yield(std::move(value)) : YieldResult::dropped;
  }

  // Finishes the current stream and empties the slot.
  void finish() { replace(std::nullopt); }

  bool hasWriter() const {
    std::lock_guard lock(mutex_);
    return writer_.has_value();
  }
  BufferingPolicy policy() const { return policy_; }

 private:
  const BufferingPolicy policy_;
  mutable std::mutex mutex_;
  std::optional<AsyncStreamWriter<T>> writer_;
};

}  // namespace platform
