// Network loss for real: the publish tool runs in a network namespace whose
// only way out is a veth pair to the ingest's namespace. Taking the link down
// removes the default route; the netlink monitor must see it, the live period
// ends and the offline text is shown; bringing it back makes the publisher
// live again. Needs root (skipped otherwise).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "PublishToolRun.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"

namespace quarzadel {
namespace {

using nlohmann::json;

int sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// Two namespaces joined by a veth pair: the publisher's at 10.231.x.1 with a
// default route through the ingest's at 10.231.x.2.
class VethPair {
 public:
  VethPair() {
    const std::string id = std::to_string(::getpid() % 100000);
    pub_ = "qzpub" + id;
    ing_ = "qzing" + id;
    a_ = "qpa" + id;
    b_ = "qpb" + id;
    const std::string net = "10.231." + std::to_string(::getpid() % 250) + ".";
    here_ = net + "1";
    there_ = net + "2";
    ok_ = sh("ip netns add " + pub_) == 0 && sh("ip netns add " + ing_) == 0 &&
          sh("ip link add " + a_ + " type veth peer name " + b_) == 0 && sh("ip link set " + a_ + " netns " + pub_) == 0 &&
          sh("ip link set " + b_ + " netns " + ing_) == 0 &&
          sh("ip -n " + pub_ + " addr add " + here_ + "/24 dev " + a_) == 0 &&
          sh("ip -n " + ing_ + " addr add " + there_ + "/24 dev " + b_) == 0 &&
          sh("ip -n " + pub_ + " link set lo up") == 0 && sh("ip -n " + ing_ + " link set lo up") == 0 &&
          sh("ip -n " + ing_ + " link set " + b_ + " up") == 0 && up();
  }
  ~VethPair() {
    sh("ip netns del " + pub_);
    sh("ip netns del " + ing_);
  }
  bool ok() const { return ok_; }
  bool up() {
    return sh("ip -n " + pub_ + " link set " + a_ + " up") == 0 &&
           sh("ip -n " + pub_ + " route replace default via " + there_) == 0;
  }
  // Caps what the publisher's side sends.
  bool limit(const std::string& rate) {
    // Small socket buffers, so the backlog shows in the publisher's own queue.
    sh(inPublisher("sysctl -w net.ipv4.tcp_wmem='4096 16384 65536'"));
    return sh(inPublisher("tc qdisc replace dev " + a_ + " root tbf rate " + rate + " burst 16kb latency 400ms")) == 0;
  }
  bool down() { return sh("ip -n " + pub_ + " link set " + a_ + " down") == 0; }
  std::string inPublisher(const std::string& command) const { return "ip netns exec " + pub_ + " " + command; }
  std::string inIngest(const std::string& command) const { return "ip netns exec " + ing_ + " " + command; }
  const std::string& ingestAddress() const { return there_; }

 private:
  bool ok_ = false;
  std::string pub_, ing_, a_, b_, here_, there_;
};

using Line = studiotest::ToolLine;

// Runs nginx in the ingest's namespace and the publish tool for `seconds` in
// the publisher's, calling `at(second)` once a second; returns the tool's lines.
std::vector<Line> publishThrough(VethPair& veth, const std::string& name, int seconds,
                                 const std::function<void(int)>& at) {
  const auto dir = rtmptest::peerDirectory(name);
  std::filesystem::create_directories(dir / "logs");
  {
    std::ofstream conf(dir / "nginx.conf");
    conf << "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\ndaemon off;\nmaster_process off;\n"
            "worker_processes 1;\nerror_log " << (dir / "logs/error.log").string() << " info;\npid "
         << (dir / "logs/nginx.pid").string() << ";\nevents { worker_connections 64; }\n"
         << "rtmp { server { listen " << veth.ingestAddress() << ":1935; chunk_size 4096; ping 2s; ping_timeout 2s;\n"
         << "  application live { live on; } } }\n";
  }
  EXPECT_EQ(sh(veth.inIngest("nginx -e " + (dir / "logs/error.log").string() + " -p " + dir.string() + "/ -c " +
                             (dir / "nginx.conf").string()) + " &"), 0);
  bool listening = false;
  for (int i = 0; i < 50 && !listening; ++i) {
    listening = sh(veth.inPublisher("timeout 1 bash -c '</dev/tcp/" + veth.ingestAddress() + "/1935'")) == 0;
    if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(listening);
  if (!listening) return {};

  const auto lines = studiotest::runPublishTool(
      veth.inPublisher(qztest::binaryDir() + "/tools/publishdemo --url rtmp://" + veth.ingestAddress() +
                       ":1935/live --key ns --seconds " + std::to_string(seconds) + " --resolution 720p 2>/dev/null"),
      seconds, at);
  {
    std::ifstream pidFile(dir / "logs" / "nginx.pid");
    pid_t pid = 0;
    pidFile >> pid;
    if (pid > 0) ::kill(pid, SIGTERM);
  }

  return lines;
}

TEST(PublisherNetworkNamespace, ALinkDownIsOfflineAndALinkUpIsLiveAgain) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  VethPair veth;
  if (!veth.ok()) GTEST_SKIP() << "network namespaces are not available";
  const auto lines = publishThrough(veth, "publisher-netns", 22, [&](int second) {
    if (second == 6) EXPECT_TRUE(veth.down());
    if (second == 12) EXPECT_TRUE(veth.up());
  });

  auto find = [&](auto predicate, double after = 0) -> const Line* {
    for (const auto& l : lines)
      if (l.at >= after && predicate(l.value)) return &l;
    return nullptr;
  };
  const Line* live = find([](const json& v) { return v["event"] == "state" && v["state"] == "live"; });
  ASSERT_NE(live, nullptr) << lines.size();
  EXPECT_LT(live->at, 6.0);
  const Line* unavailable = find([](const json& v) { return v["event"] == "log" && v["message"] == "Network unavailable"; });
  ASSERT_NE(unavailable, nullptr);
  EXPECT_LT(unavailable->at, 7.0);
  EXPECT_NE(find([](const json& v) { return v["event"] == "log" && v["message"] == "Publish interrupted: Network lost"; }),
            nullptr);
  EXPECT_NE(find([](const json& v) {
              return v["event"] == "state" && v["state"] == "reconnecting" && v["reason"] == "No internet connection";
            }),
            nullptr);
  EXPECT_NE(find([](const json& v) {
              return v["event"] == "problem" && v["text"] ==
                     "Your Mac is offline. Quarzadel will reconnect as soon as the internet is back.";
            }),
            nullptr);
  const Line* available =
      find([](const json& v) { return v["event"] == "log" && v["message"] == "Network available"; }, 11.5);
  ASSERT_NE(available, nullptr);
  const Line* again = find([](const json& v) { return v["event"] == "state" && v["state"] == "live"; }, 12.0);
  ASSERT_NE(again, nullptr);
  EXPECT_LT(again->at, 16.0);
  EXPECT_EQ(again->value["since"], live->value["since"]);
}

TEST(PublisherNetworkNamespace, ASlowUplinkMakesTheControllerStepDown) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  VethPair veth;
  if (!veth.ok()) GTEST_SKIP() << "network namespaces are not available";
  bool limited = false;
  const auto lines = publishThrough(veth, "publisher-netns-slow", 45, [&](int second) {
    if (second == 3) limited = veth.limit("60kbit");
  });
  ASSERT_TRUE(limited) << "tc is not available";
  bool stepped = false;
  int64_t lastTarget = 0, lastUpload = 0;
  for (const auto& l : lines) {
    if (l.value["event"] == "log") {
      const auto m = l.value["message"].get<std::string>();
      if (m.rfind("Uplink congested: ", 0) == 0 || m.rfind("Upload falling behind: ", 0) == 0) stepped = true;
    }
    if (l.value["event"] == "stats" && l.value["targetKbps"].get<int64_t>() > 0) {
      lastTarget = l.value["targetKbps"].get<int64_t>();
      lastUpload = l.value["uploadKbps"].get<int64_t>();
    }
  }
  std::string trace;
  for (const auto& l : lines)
    if (l.value["event"] == "stats" || l.value["event"] == "state") trace += l.value.dump() + "\n";
  EXPECT_TRUE(stepped) << trace;
  // Well down from 1843 kbps: 60 kbit/s cannot even carry the sound.
  EXPECT_LT(lastTarget, 1000) << lastUpload;
  EXPECT_GT(lastTarget, 0);
}

}  // namespace
}  // namespace quarzadel
