#pragma once
// An asynchronous sequence with one reader and any number of writers on any
// threads. Values from one writer thread arrive in the order it yielded them.
//
//   auto [stream, writer] = AsyncStream<int>::make(BufferingPolicy::bufferingNewest(8));
//   writer.yield(1);                                  // any thread
//   while (auto v = co_await stream.next()) { ... }   // one task
//
// next() gives nullopt once the writer finished and the buffer is drained, or at
// once when the reading task is cancelled (that also ends the stream). Dropping
// every copy of the writer finishes the stream; dropping every copy of the
// stream ends it for the writers (yield reports `terminated`).
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "Platform/Concurrency/WaitNode.h"

namespace platform {

struct BufferingPolicy {
  enum class Kind { unbounded, newest, oldest };
  Kind kind = Kind::unbounded;
  size_t limit = 0;

  static BufferingPolicy unbounded() { return {Kind::unbounded, 0}; }
  // Keeps the newest `n` values; a yield to a full buffer drops the oldest.
  static BufferingPolicy bufferingNewest(size_t n) { return {Kind::newest, n}; }
  // Keeps the oldest `n` values; a yield to a full buffer drops the new value.
  static BufferingPolicy bufferingOldest(size_t n) { return {Kind::oldest, n}; }
};

enum class YieldResult {
  enqueued,    // delivered or buffered, nothing lost
  dropped,     // the buffer was full: this value or the oldest buffered one was dropped
  terminated,  // the stream has ended; the value went nowhere
};

enum class StreamTermination { finished, cancelled };

template <class T>
class AsyncStream;

namespace detail {

template <class T>
class StreamState : public std::enable_shared_from_this<StreamState<T>> {
 public:
  using Node = WaitNode<std::optional<T>>;

  explicit StreamState(BufferingPolicy p) : policy_(p) {}

  YieldResult yield(T value) {
    std::shared_ptr<Node> waiter;
    YieldResult result = YieldResult::enqueued;
    {
      std::lock_guard lock(mutex_);
      if (ended_) return YieldResult::terminated;
      if (waiter_) {
        waiter = std::move(waiter_);
        waiter_.reset();
      } else {
        switch (policy_.kind) {
          case BufferingPolicy::Kind::unbounded:
            buffer_.push_back(std::move(value));
            break;
          case BufferingPolicy::Kind::newest:
            if (policy_.limit == 0) return YieldResult::dropped;
            if (buffer_.size() >= policy_.limit) {
              buffer_.pop_front();
              result = YieldResult::dropped;
            }
            buffer_.push_back(std::move(value));
            break;
          case BufferingPolicy::Kind::oldest:
            if (buffer_.size() >= policy_.limit) return YieldResult::dropped;
            buffer_.push_back(std::move(value));
            break;
        }
      }
    }
    if (waiter) waiter->resolve(std::optional<T>(std::move(value)));
    return result;
  }

  // No more values; the reader still gets what is buffered.
  void finish() { end(StreamTermination::finished); }
  // The reader is gone or was cancelled: drop the buffer, end at once.
  void cancel() { end(StreamTermination::cancelled); }

  void setOnTermination(std::function<void(StreamTermination)> fn) {
    std::optional<StreamTermination> already;
    {
      std::lock_guard lock(mutex_);
      if (!terminationReported_) {
        onTermination_ = std::move(fn);
        return;
      }
      already = reason_;
    }
    if (fn) fn(*already);
  }

  bool isTerminated() const {
    std::lock_guard lock(mutex_);
    return ended_;
  }

  size_t bufferedCount() const {
    std::lock_guard lock(mutex_);
    return buffer_.size();
  }

  class NextAwaiter {
   public:
    explicit NextAwaiter(std::shared_ptr<StreamState> s) : state_(std::move(s)) {}
    bool await_ready() const noexcept { return false; }
    template <TaskPromise P>
    bool await_suspend(std::coroutine_handle<P> h) {
      auto state = state_;
      auto& p = h.promise();
      if (p.cancellation && p.cancellation->isCancelled()) {
        state->cancel();
        return false;
      }
      std::shared_ptr<Node> node;
      {
        std::lock_guard lock(state->mutex_);
        if (!state->buffer_.empty()) {
          result_ = std::move(state->buffer_.front());
          state->buffer_.pop_front();
          return false;
        }
        if (state->ended_) return false;
        if (state->waiter_) throw std::logic_error("an asynchronous stream has a single reader");
        node = Node::make(h);
        node_ = node;
        state->waiter_ = node;
      }
      std::weak_ptr<StreamState> weakState = state;
      std::weak_ptr<Node> weakNode = node;
      node->interruptOnCancel([weakState, weakNode] {
        auto s = weakState.lock();
        auto n = weakNode.lock();
        if (s && n) s->cancelWaiter(n);
      });
      return true;
    }
    std::optional<T> await_resume() {
      if (node_) return node_->take();
      return std::move(result_);
    }

   private:
    std::shared_ptr<StreamState> state_;
    std::shared_ptr<Node> node_;
    std::optional<T> result_;
  };

 private:
  void end(StreamTermination reason) {
    std::shared_ptr<Node> waiter;
    std::function<void(StreamTermination)> callback;
    std::deque<T> dropped;  // released outside the lock
    {
      std::lock_guard lock(mutex_);
      if (reason == StreamTermination::cancelled) dropped.swap(buffer_);
      if (!ended_) {
        ended_ = true;
        reason_ = reason;
      }
      if (buffer_.empty() && waiter_) {
        waiter = std::move(waiter_);
        waiter_.reset();
      }
      if (!terminationReported_) {
        terminationReported_ = true;
        callback = std::move(onTermination_);
        onTermination_ = nullptr;
      }
    }
    if (waiter) waiter->resolve(std::optional<T>());
    if (callback) callback(reason);
  }

  // The reading task was cancelled while it waited.
  void cancelWaiter(const std::shared_ptr<Node>& node) {
    {
      std::lock_guard lock(mutex_);
      // A value already taken this waiter: let it arrive; the next read ends.
      if (waiter_ != node) return;
    }
    cancel();
  }

  mutable std::mutex mutex_;
  const BufferingPolicy policy_;
  std::deque<T> buffer_;
  std::shared_ptr<Node> waiter_;
  bool ended_ = false;
  bool terminationReported_ = false;
  StreamTermination reason_ = StreamTermination::finished;
  std::function<void(StreamTermination)> onTermination_;

};

// Ends the stream when its last holder goes.
template <class T, bool kWriter>
struct StreamEnd {
  explicit StreamEnd(std::shared_ptr<StreamState<T>> s) : state(std::move(s)) {}
  ~StreamEnd() {
    if constexpr (kWriter)
      state->finish();
    else
      state->cancel();
  }
  std::shared_ptr<StreamState<T>> state;
};

}  // namespace detail

template <class T>
class AsyncStreamWriter {
 public:
  AsyncStreamWriter() = default;

  YieldResult yield(T value) const {
    return end_ ? end_->state->yield(std::move(value)) : YieldResult::terminated;
  }
  void finish() const {
    if (end_) end_->state->finish();
  }
  // Called once when the stream ends: finished by a writer, or cancelled by the
  // reader (dropped or its task cancelled). Called at once if it already ended.
  void onTermination(std::function<void(StreamTermination)> fn) const {
    if (end_) end_->state->setOnTermination(std::move(fn));
  }
  bool isTerminated() const { return !end_ || end_->state->isTerminated(); }
  explicit operator bool() const { return static_cast<bool>(end_); }

 private:
  friend class AsyncStream<T>;
  explicit AsyncStreamWriter(std::shared_ptr<detail::StreamState<T>> s)
      : end_(std::make_shared<detail::StreamEnd<T, true>>(std::move(s))) {}
  std::shared_ptr<detail::StreamEnd<T, true>> end_;
};

template <class T>
class AsyncStream {
 public:
  using Writer = AsyncStreamWriter<T>;

  AsyncStream() = default;

  static std::pair<AsyncStream, Writer> make(BufferingPolicy policy = BufferingPolicy::unbounded()) {
    auto state = std::make_shared<detail::StreamState<T>>(policy);
    return {AsyncStream(state), Writer(state)};
  }
  // A stream that has already finished.
  static AsyncStream finished() {
    auto [s, w] = make();
    w.finish();
    return s;
  }

  // The next value, or nullopt at the end. One reader at a time.
  typename detail::StreamState<T>::NextAwaiter next() const {
    if (!end_) throw std::logic_error("reading an empty asynchronous stream");
    return typename detail::StreamState<T>::NextAwaiter(end_->state);
  }
  // Ends the stream from the reader's side (as dropping it does).
  void cancel() const {
    if (end_) end_->state->cancel();
  }
  bool isTerminated() const { return !end_ || end_->state->isTerminated(); }
  size_t bufferedCount() const { return end_ ? end_->state->bufferedCount() : 0; }
  explicit operator bool() const { return static_cast<bool>(end_); }

 private:
  explicit AsyncStream(std::shared_ptr<detail::StreamState<T>> s)
      : end_(std::make_shared<detail::StreamEnd<T, false>>(std::move(s))) {}
  std::shared_ptr<detail::StreamEnd<T, false>> end_;
};

}  // namespace platform
