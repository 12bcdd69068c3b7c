#pragma once
// The application becoming active, as a desktop application hears it when the
// host comes back to it. Here each sign that the host may have just come back
// to the Studio (its terminal regained focus, the login session became the
// active one, access to the camera nodes changed) calls notify(), from any
// thread. Signs that come together are folded: subscribers hear once, on the
// main queue, after a quiet spell, and at the latest a fixed time after the
// first sign of the burst.
#include <cstdint>
#include <memory>
#include <optional>

#include "Platform/Dispatch/Runtime.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Published/Subject.h"

namespace quarzadel {

class AppActivation : public std::enable_shared_from_this<AppActivation> {
 public:
  static constexpr platform::Nanos kQuiet = platform::milliseconds(250);
  static constexpr platform::Nanos kLatest = platform::seconds(1);

  static std::shared_ptr<AppActivation> make(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  explicit AppActivation(std::shared_ptr<platform::Runtime> runtime);

  // A sign of activation; any thread.
  void notify();
  // Each activation, numbered from 1, on the main queue.
  platform::Publisher<int64_t> activations() const { return subject_.publisher(); }

 private:
  void signalled();
  void fire();

  const std::shared_ptr<platform::Runtime> runtime_;
  const std::shared_ptr<platform::SerialQueue> main_;
  platform::Subject<int64_t> subject_;
  // Main queue only.
  std::optional<platform::Nanos> burstBegan_;
  uint64_t generation_ = 0;
  int64_t count_ = 0;
};

}  // namespace quarzadel
