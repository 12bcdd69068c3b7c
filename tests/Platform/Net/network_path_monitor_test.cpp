// The path monitor inside a network namespace of its own, whose links and
// addresses the test changes: what counts as a usable path. Needs root
// (skipped otherwise).
#include "Platform/Net/NetworkPathMonitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Eventually.h"

namespace platform {
namespace {

int sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

class NamespaceMonitor {
 public:
  NamespaceMonitor() : name_("qzpath" + std::to_string(::getpid())) {
    if (sh("ip netns add " + name_) != 0) return;
    created_ = true;
    // Made and started on a thread that entered the namespace: the monitor's
    // own thread and its netlink sockets belong to the namespace too.
    std::thread([this] {
      const int fd = ::open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return;
      if (::setns(fd, CLONE_NEWNET) == 0) {
        monitor_ = NetworkPathMonitor::makeNetlink();
        monitor_->start([this](bool usable) {
          std::lock_guard lock(mutex_);
          verdicts_.push_back(usable);
        });
      }
      ::close(fd);
    }).join();
  }
  ~NamespaceMonitor() {
    if (monitor_) monitor_->cancel();
    if (created_) sh("ip netns del " + name_);
  }
  bool ok() const { return monitor_ != nullptr; }
  void setDestination(const std::string& host) { monitor_->setDestination(host); }
  bool run(const std::string& command) { return sh("ip -n " + name_ + " " + command) == 0; }
  std::vector<bool> verdicts() const {
    std::lock_guard lock(mutex_);
    return verdicts_;
  }
  // Whether the latest verdict comes to `usable` within a few seconds.
  bool becomes(bool usable) const {
    return qztest::eventually([&] {
      auto all = verdicts();
      return !all.empty() && all.back() == usable;
    }, std::chrono::seconds(5));
  }

 private:
  std::string name_;
  bool created_ = false;
  std::shared_ptr<NetworkPathMonitor> monitor_;
  mutable std::mutex mutex_;
  std::vector<bool> verdicts_;
};

TEST(NetworkPathMonitorTest, AnInterfaceUpWithASubnetAddressIsUsableWithoutADefaultRoute) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  NamespaceMonitor ns;
  if (!ns.ok()) GTEST_SKIP() << "network namespaces are not available";
  ASSERT_TRUE(ns.becomes(false)) << "only loopback, and it is down";
  ASSERT_TRUE(ns.run("link set lo up"));
  ASSERT_TRUE(ns.run("link add qzpa type veth peer name qzpb"));
  ASSERT_TRUE(ns.run("link set qzpb up"));
  // Up with only its IPv6 link-local address: nothing beyond the link is reachable.
  ASSERT_TRUE(ns.run("link set qzpa up"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ns.verdicts(), std::vector<bool>{false});

  // A subnet address, and with it only the subnet's route: usable.
  ASSERT_TRUE(ns.run("addr add 10.213.7.1/24 dev qzpa"));
  ASSERT_TRUE(ns.becomes(true));
  EXPECT_FALSE(ns.run("route show default | grep -q ."));

  // The link goes down and comes back.
  ASSERT_TRUE(ns.run("link set qzpa down"));
  EXPECT_TRUE(ns.becomes(false));
  ASSERT_TRUE(ns.run("link set qzpa up"));
  EXPECT_TRUE(ns.becomes(true));
  // Only changes are reported.
  EXPECT_EQ(ns.verdicts(), (std::vector<bool>{false, true, false, true}));

  // A known destination needs a route: one on the subnet has it, one beyond
  // it has none; this machine's own address needs no link at all.
  const size_t verdicts = ns.verdicts().size();
  ns.setDestination("10.213.7.9");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ns.verdicts().size(), verdicts) << "still usable";
  ns.setDestination("192.0.2.1");
  EXPECT_TRUE(ns.becomes(false));
  ASSERT_TRUE(ns.run("link set qzpa down"));
  ns.setDestination("127.0.0.1");
  EXPECT_TRUE(ns.becomes(true));
  ASSERT_TRUE(ns.run("link set qzpa up"));
  // A host name leaves the general rule.
  ns.setDestination("ingest.example.com");

  // Without the address, a default route over the link still counts.
  ASSERT_TRUE(ns.run("addr flush dev qzpa scope global"));
  EXPECT_TRUE(ns.becomes(false));
  ASSERT_TRUE(ns.run("route add default dev qzpa"));
  EXPECT_TRUE(ns.becomes(true));
}

}  // namespace
}  // namespace platform
