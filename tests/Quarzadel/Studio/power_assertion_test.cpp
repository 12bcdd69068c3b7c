// The sleep inhibitor against a login manager of our own on a private bus: what
// it asks for, how long the lock is held, that the caller never waits for the
// bus, and machines without either.
#include "Quarzadel/Studio/PowerAssertion.h"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Files/ScopedEnv.h"
#include "peers/PrivateBus.h"

namespace quarzadel {
namespace {

// Owns org.freedesktop.login1 on the bus and answers Inhibit with the write end
// of a pipe whose read end it keeps: the lock is released when that read end
// sees the end of the stream. A refusing manager answers with an error.
class FakeLoginManager {
 public:
  explicit FakeLoginManager(const std::string& address, bool refuse = false) : refuse_(refuse) {
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLoginManager::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    ok_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
          sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0 &&
          sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", vtable,
                                   this) >= 0 &&
          sd_bus_request_name(bus_, "org.freedesktop.login1", 0) >= 0;
    if (ok_) thread_ = std::thread([this] {
      for (int r = 0; !stopping_ && r >= 0;)
        if ((r = sd_bus_process(bus_, nullptr)) == 0) sd_bus_wait(bus_, 20'000);
    });
  }
  ~FakeLoginManager() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_flush_close_unref(bus_);
    for (int fd : lockEnds_) ::close(fd);
  }

  bool ok() const { return ok_; }
  // What each Inhibit call asked for: what, who, why, mode.
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // Whether the lock handed out by call `index` was given back: the read end
  // sees the end of the stream once every copy of the write end is closed.
  bool released(size_t index, int waitMillis = 5000) const {
    std::unique_lock lock(mutex_);
    if (index >= lockEnds_.size()) return false;
    pollfd p{lockEnds_[index], POLLIN, 0};
    lock.unlock();
    char c;
    return ::poll(&p, 1, waitMillis) == 1 && ::read(p.fd, &c, 1) == 0;
  }
  bool held(size_t index) const { return !released(index, 0); }

 private:
  static int inhibit(sd_bus_message* message, void* self, sd_bus_error* error) {
    auto& manager = *static_cast<FakeLoginManager*>(self);
    const char *what, *who, *why, *mode;
    if (int r = sd_bus_message_read(message, "ssss", &what, &who, &why, &mode); r < 0) return r;
    int ends[2];
    {
      std::lock_guard lock(manager.mutex_);
      manager.calls_.push_back(std::string(what) + " " + who + " " + why + " " + mode);
      if (manager.refuse_) return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "Not for you");
      if (::pipe2(ends, O_CLOEXEC) != 0) return -errno;
      manager.lockEnds_.push_back(ends[0]);
    }
    int r = sd_bus_reply_method_return(message, "h", ends[1]);
    ::close(ends[1]);  // the reply carries its own copy
    return r;
  }

  const bool refuse_;
  sd_bus* bus_ = nullptr;
  bool ok_ = false;
  std::atomic<bool> stopping_ = false;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<int> lockEnds_;
};

struct PowerAssertionTest : ::testing::Test {
  std::filesystem::path folder = platform::testing::scratchDirectory("power-assertion");
  qztest::PrivateBus bus{folder};
  // The bus calls' queue: they run when the test lets it.
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<platform::SerialQueue> queue = platform::SerialQueue::make("power", rt);

  void SetUp() override { ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start"; }
};

TEST_F(PowerAssertionTest, TwoBeginsTakeOneLockThatEndReleasesOnce) {
  // Without an address the system bus is used.
  platform::testing::ScopedEnv env;
  env.set("DBUS_SYSTEM_BUS_ADDRESS", bus.address());
  FakeLoginManager login(bus.address());
  ASSERT_TRUE(login.ok());
  PowerAssertion power({{}, queue});
  power.begin("Streaming Morning Show");
  power.begin("Streaming Morning Show");
  EXPECT_TRUE(power.isHolding());
  rt->runUntilIdle();
  EXPECT_EQ(login.calls(), std::vector<std::string>{"idle:sleep Quarzadel Streaming Morning Show block"});
  EXPECT_TRUE(login.held(0));

  power.end();
  EXPECT_FALSE(power.isHolding());
  EXPECT_TRUE(login.released(0));

  // A second end must not close a descriptor that now has the old number.
  int reused[2];
  ASSERT_EQ(::pipe(reused), 0);
  power.end();
  for (int fd : reused) EXPECT_EQ(::close(fd), 0);

  // Going live again takes a fresh lock; discarding the assertion gives it back.
  {
    PowerAssertion again({bus.address(), queue});
    again.begin("Streaming Evening Show");
    rt->runUntilIdle();
    ASSERT_EQ(login.calls().size(), 2u);
    EXPECT_EQ(login.calls()[1], "idle:sleep Quarzadel Streaming Evening Show block");
    EXPECT_TRUE(login.held(1));
  }
  EXPECT_TRUE(login.released(1));
}

// Going live does not wait for the login manager; a lock that arrives after
// the stream ended is given back at once.
TEST_F(PowerAssertionTest, TheBusIsCalledOffTheCallersQueueAndALateLockIsReleasedOnArrival) {
  FakeLoginManager login(bus.address());
  ASSERT_TRUE(login.ok());
  PowerAssertion power({bus.address(), queue});
  power.begin("Streaming Late Show");
  EXPECT_TRUE(login.calls().empty()) << "begin() called the bus itself";
  power.end();
  rt->runUntilIdle();
  ASSERT_EQ(login.calls().size(), 1u);
  EXPECT_TRUE(login.released(0));

  // Ended and begun again before either answer: only the second lock is kept.
  power.begin("Streaming Late Show");
  power.end();
  power.begin("Streaming Encore");
  rt->runUntilIdle();
  ASSERT_EQ(login.calls().size(), 3u);
  EXPECT_TRUE(login.released(1));
  EXPECT_TRUE(login.held(2));
  power.end();
  EXPECT_TRUE(login.released(2));
}

// Streaming must not depend on the lock: without a bus, without a login
// manager or without its consent, begin and end hold nothing and fail nothing.
TEST_F(PowerAssertionTest, WithoutABusALoginManagerOrItsConsentNothingIsHeldAndNothingFails) {
  auto holdsNothingQuietly = [this](PowerAssertion& power) {
    power.begin("Streaming Morning Show");
    EXPECT_TRUE(power.isHolding());
    power.begin("Streaming Morning Show");  // still a no-op
    rt->runUntilIdle();
    power.end();
    EXPECT_FALSE(power.isHolding());
    power.end();
  };
  PowerAssertion nowhere({"unix:path=" + (folder / "no-bus-here").string(), queue});
  holdsNothingQuietly(nowhere);

  PowerAssertion noLoginManager({bus.address(), queue});
  holdsNothingQuietly(noLoginManager);

  FakeLoginManager refusing(bus.address(), /*refuse=*/true);
  ASSERT_TRUE(refusing.ok());
  PowerAssertion refused({bus.address(), queue});
  holdsNothingQuietly(refused);
  // Asked once: a refused lock is not asked for again while going live.
  EXPECT_EQ(refusing.calls().size(), 1u);
  // Each go-live asks anew.
  holdsNothingQuietly(refused);
  EXPECT_EQ(refusing.calls().size(), 2u);
}

}  // namespace
}  // namespace quarzadel
