// The login session's activation over a private bus: only "Active" becoming
// true (or invalidated) on our own session's object counts.
#include "Quarzadel/App/LoginSessionWatcher.h"

#include <systemd/sd-bus.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <vector>

#include "Eventually.h"
#include "TestPaths.h"
#include "peers/PrivateBus.h"

namespace quarzadel {
namespace {

// A stand-in for the login manager that only sends signals.
class SessionSignals {
 public:
  explicit SessionSignals(const std::string& address) {
    ok_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
          sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0 &&
          sd_bus_request_name(bus_, "org.freedesktop.login1", 0) >= 0;
  }
  ~SessionSignals() { sd_bus_flush_close_unref(bus_); }
  bool ok() const { return ok_; }

  // PropertiesChanged of `interface` on `path`: the changed booleans, then the invalidated names.
  bool send(const std::string& path, const std::string& interface, const std::vector<std::pair<std::string, bool>>& changed,
            const std::vector<std::string>& invalidated = {}) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_signal(bus_, &m, path.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged") < 0)
      return false;
    bool ok = sd_bus_message_append(m, "s", interface.c_str()) >= 0 &&
              sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "{sv}") >= 0;
    for (const auto& [name, value] : changed)
      ok = ok && sd_bus_message_append(m, "{sv}", name.c_str(), "b", static_cast<int>(value)) >= 0;
    ok = ok && sd_bus_message_close_container(m) >= 0 && sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "s") >= 0;
    for (const auto& name : invalidated) ok = ok && sd_bus_message_append(m, "s", name.c_str()) >= 0;
    ok = ok && sd_bus_message_close_container(m) >= 0 && sd_bus_send(bus_, m, nullptr) >= 0 && sd_bus_flush(bus_) >= 0;
    sd_bus_message_unref(m);
    return ok;
  }

 private:
  sd_bus* bus_ = nullptr;
  bool ok_ = false;
};

TEST(LoginSessionWatcher, OnlyOurSessionBecomingActiveIsHeard) {
  const auto folder = std::filesystem::path(qztest::binaryDir()) / "login-session-bus";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::optional<qztest::PrivateBus> bus(folder);
  ASSERT_TRUE(bus->ok()) << "dbus-daemon did not start";
  SessionSignals manager(bus->address());
  ASSERT_TRUE(manager.ok());

  std::atomic<int> heard{0};
  auto watcher = LoginSessionWatcher::start([&] { ++heard; }, {bus->address(), "c2"});
  ASSERT_TRUE(watcher);
  const auto ours = LoginSessionWatcher::sessionPath("c2");
  EXPECT_EQ(ours, "/org/freedesktop/login1/session/c2");
  const std::string session = "org.freedesktop.login1.Session";

  // None of these counts; the one after them shows they all went by.
  ASSERT_TRUE(manager.send(ours, session, {{"Active", false}}));
  ASSERT_TRUE(manager.send(ours, session, {{"IdleHint", true}}));
  ASSERT_TRUE(manager.send(LoginSessionWatcher::sessionPath("c3"), session, {{"Active", true}}));
  ASSERT_TRUE(manager.send(ours, "org.freedesktop.login1.Seat", {{"Active", true}}));
  ASSERT_TRUE(manager.send(ours, session, {{"IdleHint", false}, {"Active", true}}));
  ASSERT_TRUE(qztest::eventually([&] { return heard.load() >= 1; }));
  // A change announced without its value may be the one we wait for.
  ASSERT_TRUE(manager.send(ours, session, {}, {"Active"}));
  ASSERT_TRUE(qztest::eventually([&] { return heard.load() >= 2; }));
  EXPECT_EQ(heard.load(), 2);

  // The bus going away ends the watch quietly.
  bus.reset();
  watcher.reset();
  EXPECT_EQ(heard.load(), 2);
}

}  // namespace
}  // namespace quarzadel
