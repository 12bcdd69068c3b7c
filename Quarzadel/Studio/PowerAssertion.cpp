#include "Quarzadel/Studio/PowerAssertion.h"

#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include "Quarzadel/App/SystemBus.h"

namespace quarzadel {
namespace {

// The login manager answers at once; one that hangs must not hold up going live.
constexpr uint64_t kInhibitCallTimeoutMicros = 2'000'000;

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// The inhibitor's descriptor (owned by the caller), or -1.
int takeInhibitor(const std::string& busAddress, const std::string& reason) {
  SystemBus bus = openSystemBus(busAddress);
  if (!bus) return -1;
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &raw, "org.freedesktop.login1", "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", "Inhibit") < 0)
    return -1;
  Message call(raw);
  if (sd_bus_message_append(call.get(), "ssss", "idle:sleep", "Quarzadel", reason.c_str(), "block") < 0) return -1;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  raw = nullptr;
  int r = sd_bus_call(bus.get(), call.get(), kInhibitCallTimeoutMicros, &error, &raw);
  sd_bus_error_free(&error);
  if (r < 0) return -1;
  Message reply(raw);
  int fd = -1;
  if (sd_bus_message_read(reply.get(), "h", &fd) < 0 || fd < 0) return -1;
  // The message owns the descriptor it carried and closes it with the message.
  return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

}  // namespace

PowerAssertion::PowerAssertion(Environment environment) : environment_(std::move(environment)) {
  if (!environment_.queue)
    environment_.queue = platform::SerialQueue::make("power-assertion", platform::Runtime::shared(),
                                                     platform::QualityOfService::utility);
}

PowerAssertion::~PowerAssertion() { end(); }

void PowerAssertion::begin(const std::string& reason) {
  if (holding_) return;
  holding_ = true;
  uint64_t request;
  {
    std::lock_guard guard(lock_->mutex);
    request = ++lock_->request;
  }
  environment_.queue->async([lock = lock_, address = environment_.systemBusAddress, reason, request] {
    // A machine without a login manager simply may sleep; streaming goes on.
    const int fd = takeInhibitor(address, reason);
    std::lock_guard guard(lock->mutex);
    if (lock->request == request && lock->fd < 0) {
      lock->fd = fd;
    } else if (fd >= 0) {
      ::close(fd);  // ended (or begun again) while the answer was on its way
    }
  });
}

void PowerAssertion::end() {
  std::lock_guard guard(lock_->mutex);
  ++lock_->request;
  // Closing the descriptor is what releases the lock.
  if (lock_->fd >= 0) ::close(lock_->fd);
  lock_->fd = -1;
  holding_ = false;
}

}  // namespace quarzadel
