// The login session's activation over a private bus: only "Active" becoming
// true (or invalidated) on our own session's object counts.
#include "Quarzadel/App/LoginSessionWatcher.h"

#include <systemd/sd-bus.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "Eventually.h"
#include "TestPaths.h"
#include "peers/PrivateBus.h"

namespace quarzadel {
namespace {

TEST(LoginSessionWatcher, OnlyOurSessionBecomingActiveIsHeard) {
  const auto folder = std::filesystem::path(qztest::binaryDir()) / "login-session-bus";
  std::filesystem::create_directories(folder);
  std::optional<qztest::PrivateBus> bus(folder);
  ASSERT_TRUE(bus->ok()) << "dbus-daemon did not start";
  // The login manager's stand-in, which only sends signals.
  sd_bus* manager = nullptr;
  ASSERT_TRUE(sd_bus_new(&manager) >= 0 && sd_bus_set_address(manager, bus->address().c_str()) >= 0 &&
              sd_bus_set_bus_client(manager, 1) >= 0 && sd_bus_start(manager) >= 0);
  std::atomic<int> heard{0};
  auto watcher = LoginSessionWatcher::start([&] { ++heard; }, {bus->address(), "c2"});
  ASSERT_TRUE(watcher);
  const auto ours = LoginSessionWatcher::sessionPath("c2");
  EXPECT_EQ(ours, "/org/freedesktop/login1/session/c2");
  const auto send = [&](const std::string& path, const char* interface, const char* name, bool value) {
    EXPECT_GE(sd_bus_emit_signal(manager, path.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                 "sa{sv}as", interface, 1, name, "b", int(value), 0),
              0);
    sd_bus_flush(manager);
  };
  const char* session = "org.freedesktop.login1.Session";

  // None of these counts; the one after them shows they all went by.
  send(ours, session, "Active", false);
  send(ours, session, "IdleHint", true);
  send(LoginSessionWatcher::sessionPath("c3"), session, "Active", true);
  send(ours, "org.freedesktop.login1.Seat", "Active", true);
  send(ours, session, "Active", true);
  ASSERT_TRUE(qztest::eventually([&] { return heard.load() >= 1; }));
  // A change announced without its value may be the one we wait for.
  sd_bus_emit_signal(manager, ours.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged", "sa{sv}as",
                     session, 0, 1, "Active");
  sd_bus_flush(manager);
  ASSERT_TRUE(qztest::eventually([&] { return heard.load() >= 2; }));
  EXPECT_EQ(heard.load(), 2);

  // The bus going away ends the watch quietly.
  bus.reset();
  watcher.reset();
  sd_bus_flush_close_unref(manager);
  EXPECT_EQ(heard.load(), 2);
}

}  // namespace
}  // namespace quarzadel
