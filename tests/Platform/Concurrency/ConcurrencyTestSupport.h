#pragma once
// One serial queue on virtual time, and small coroutines the tests share.
#include <string>
#include <vector>

#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/VirtualRuntime.h"

namespace platform::testing {

struct Env {
  std::shared_ptr<VirtualRuntime> rt = VirtualRuntime::make();
  std::shared_ptr<SerialQueue> q = SerialQueue::make("tests", rt);
};

inline Async<std::string> after(Nanos d, std::string v) {
  co_await sleepFor(d);
  co_return v;
}

template <class T>
TaskHandle<std::vector<T>> collect(std::shared_ptr<SerialQueue> q, AsyncStream<T> s) {
  return spawn(q, [s]() -> Async<std::vector<T>> {
    std::vector<T> out;
    while (auto v = co_await s.next()) out.push_back(*v);
    co_return out;
  });
}

}  // namespace platform::testing
