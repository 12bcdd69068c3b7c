#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <vector>

#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/VirtualRuntime.h"

using namespace platform;

namespace {

// A peer that answers each request after a delay, by calling back into the
// requester (as a server's answer arrives on a connection's receive side).
class Peer : public Actor, public std::enable_shared_from_this<Peer> {
 public:
  using Actor::Actor;
  std::function<void(int id, std::string answer)> deliver;

  Async<void> request(int id, Nanos delay) {
    co_await hop();
    spawnDetached(queue(), [self = shared_from_this(), id, delay]() -> Async<void> {
      co_await sleepFor(delay);
      self->deliver(id, "answer " + std::to_string(id));
    });
  }
};

class Connection : public Actor, public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::shared_ptr<SerialQueue> q, std::shared_ptr<Peer> peer) : Actor(std::move(q)), peer_(std::move(peer)) {}

  Async<std::string> call(int id, Nanos delay) {
    co_await hop();
    co_await peer_->request(id, delay);
    EXPECT_TRUE(isIsolated()) << "back on the connection after awaiting the peer";
    auto answer = co_await withContinuation<std::string>([&](Continuation<std::string> c) {
      operations_.emplace(id, std::move(c));
    });
    EXPECT_TRUE(isIsolated());
    log.push_back("returned " + std::to_string(id));
    co_return answer;
  }

  Async<void> dispatch(int id, std::string answer) {
    co_await hop();
    log.push_back("dispatch " + std::to_string(id));
    auto it = operations_.find(id);
    if (it == operations_.end()) co_return;
    auto c = std::move(it->second);
    operations_.erase(it);
    c.resume(std::move(answer));
  }

  std::vector<std::string> log;  // on the connection's queue only

 private:
  std::shared_ptr<Peer> peer_;
  std::map<int, Continuation<std::string>> operations_;
};

}  // namespace

TEST(Actor, MethodAwaitingAnotherActorResumesOnItsQueueWhileOtherWorkRunsMeanwhile) {
  auto rt = VirtualRuntime::make();
  auto peer = std::make_shared<Peer>("peer", rt);
  auto conn = std::make_shared<Connection>(SerialQueue::make("connection", rt), peer);
  std::weak_ptr<Connection> weakConn = conn;
  peer->deliver = [weakConn](int id, std::string a) {
    if (auto c = weakConn.lock()) spawnDetached(c->queue(), [c, id, a]() { return c->dispatch(id, a); });
  };
  auto slow = spawn(rt->mainQueue(), [conn]() { return conn->call(1, seconds(5)); });
  auto fast = spawn(rt->mainQueue(), [conn]() { return conn->call(2, seconds(1)); });
  rt->advance(seconds(1));
  EXPECT_TRUE(fast.isFinished());
  EXPECT_FALSE(slow.isFinished());
  rt->advance(seconds(4));
  EXPECT_EQ(slow.result(), "answer 1");
  EXPECT_EQ(fast.result(), "answer 2");
  EXPECT_EQ(conn->log, (std::vector<std::string>{"dispatch 2", "returned 2", "dispatch 1", "returned 1"}));
  peer->deliver = nullptr;
}

TEST(ActorThreads, StateIsTouchedByOneJobAtATime) {
  class Counter : public Actor {
   public:
    using Actor::Actor;
    Async<int> bump() {
      co_await hop();
      enter();
      int v = ++count_;
      leave();
      co_await yieldNow();  // reentrancy point: other calls run here, never at the same time
      enter();
      history_.push_back(v);
      leave();
      co_return v;
    }
    std::atomic<bool> overlapped{false};

   private:
    void enter() {
      if (running_.exchange(true)) overlapped = true;
    }
    void leave() { running_ = false; }
    std::atomic<bool> running_{false};
    int count_ = 0;               // plain: a data race here is what the sanitizer looks for
    std::vector<int> history_;
  };
  auto rt = Runtime::shared();
  auto counter = std::make_shared<Counter>("counter", rt);
  std::vector<TaskHandle<int>> tasks;
  for (int i = 0; i < 200; ++i)
    tasks.push_back(spawn(rt->globalQueue(), [counter]() -> Async<int> {
      int a = co_await counter->bump();
      int b = co_await counter->bump();
      co_return b > a ? 1 : 0;
    }));
  int ordered = 0;
  for (auto& t : tasks) ordered += blockingWait(t.value(), rt->globalQueue());
  EXPECT_EQ(ordered, 200);
  int last = blockingWait(counter->bump(), rt->globalQueue());
  EXPECT_EQ(last, 401);
  EXPECT_FALSE(counter->overlapped);
}
