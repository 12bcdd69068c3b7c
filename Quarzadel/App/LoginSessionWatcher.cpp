#include "Quarzadel/App/LoginSessionWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-login.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quarzadel {

namespace {

constexpr const char* kSessionInterface = "org.freedesktop.login1.Session";
constexpr uint64_t kAddMatchTimeoutMicros = 2'000'000;

std::optional<std::string> ownSessionID() {
  char* id = nullptr;
  if (sd_pid_get_session(0, &id) >= 0 && id) {
    std::string out = id;
    std::free(id);
    return out;
  }
  if (const char* env = std::getenv("XDG_SESSION_ID"); env && *env) return std::string(env);
  return std::nullopt;
}

// Whether a PropertiesChanged body ("sa{sv}as") of the session says it became
// active; an "Active" that is only invalidated counts, as its new value is unknown.
bool becameActive(sd_bus_message* m) {
  const char* interface = nullptr;
  if (sd_bus_message_read(m, "s", &interface) < 0 || !interface || std::strcmp(interface, kSessionInterface) != 0)
    return false;
  bool active = false;
  if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}") < 0) return false;
  while (sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv") > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read(m, "s", &name) < 0) return false;
    if (name && std::strcmp(name, "Active") == 0) {
      int value = 0;
      if (sd_bus_message_read(m, "v", "b", &value) < 0) return false;
      active = active || value;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return false;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  if (sd_bus_message_exit_container(m) < 0) return active;
  char** invalidated = nullptr;
  if (sd_bus_message_read_strv(m, &invalidated) >= 0 && invalidated) {
    for (char** s = invalidated; *s; ++s) {
      active = active || std::strcmp(*s, "Active") == 0;
      std::free(*s);
    }
    std::free(invalidated);
  }
  return active;
}

}  // namespace

std::string LoginSessionWatcher::sessionPath(const std::string& sessionID) {
  char* path = nullptr;
  if (sd_bus_path_encode("/org/freedesktop/login1/session", sessionID.c_str(), &path) < 0 || !path) return {};
  std::string out = path;
  std::free(path);
  return out;
}

std::unique_ptr<LoginSessionWatcher> LoginSessionWatcher::start(std::function<void()> onActive,
                                                                Environment environment) {
  const auto id = environment.sessionID ? environment.sessionID : ownSessionID();
  if (!id) return nullptr;
  const std::string path = sessionPath(*id);
  if (path.empty()) return nullptr;
  SystemBus bus = openSystemBus(environment.systemBusAddress);
  if (!bus) return nullptr;
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return nullptr;
  std::unique_ptr<LoginSessionWatcher> watcher(new LoginSessionWatcher(std::move(bus), wake, std::move(onActive)));
  // No sender in the rule: a forged signal only costs a look at the access.
  const std::string rule = "type='signal',path='" + path +
                           "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',arg0='" +
                           kSessionInterface + "'";
  // Synchronous, so that a signal sent once start() has returned is not missed;
  // bounded, as the Studio opens after it.
  sd_bus_set_method_call_timeout(watcher->bus_.get(), kAddMatchTimeoutMicros);
  if (sd_bus_add_match(watcher->bus_.get(), &watcher->match_, rule.c_str(), &LoginSessionWatcher::onPropertiesChanged,
                       watcher.get()) < 0)
    return nullptr;
  watcher->thread_ = std::thread([w = watcher.get()] { w->run(); });
  return watcher;
}

LoginSessionWatcher::LoginSessionWatcher(SystemBus bus, int wake, std::function<void()> onActive)
    : bus_(std::move(bus)), wake_(wake), onActive_(std::move(onActive)) {}

LoginSessionWatcher::~LoginSessionWatcher() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  sd_bus_slot_unref(match_);
  bus_.reset();
  ::close(wake_);
}

int LoginSessionWatcher::onPropertiesChanged(sd_bus_message* message, void* watcher, sd_bus_error*) {
  auto* self = static_cast<LoginSessionWatcher*>(watcher);
  if (becameActive(message) && self->onActive_) self->onActive_();
  return 0;
}

void LoginSessionWatcher::run() {
  sd_bus* bus = bus_.get();
  for (;;) {
    const int r = sd_bus_process(bus, nullptr);
    if (r < 0) return;  // the bus went away: no more signals, and nothing else to do
    if (r > 0) continue;
    uint64_t until = 0;
    int timeout = -1;
    if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const uint64_t nowMicros = uint64_t(now.tv_sec) * 1'000'000 + uint64_t(now.tv_nsec) / 1000;
      timeout = until > nowMicros ? static_cast<int>((until - nowMicros + 999) / 1000) : 0;
    }
    pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
  }
}

}  // namespace quarzadel
