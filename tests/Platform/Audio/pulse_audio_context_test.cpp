#include "Platform/Audio/PulseAudioContext.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Platform/Files/ScopedEnv.h"
#include "peers/PulseAudioPeer.h"

namespace platform {
namespace {

using testing::ScopedEnv;
using testing::scratchDirectory;

// A unix socket that accepts connections into its backlog and never says a word.
class SilentSocket {
 public:
  explicit SilentSocket(const std::filesystem::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 4);
  }
  ~SilentSocket() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
};

std::string messageOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const PulseAudioError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(PulseAudioContext, ConnectsToAPrivateServerAndReadsItsDefaults) {
  qztest::PulseAudioPeer peer;
  QZ_SKIP_UNLESS_PULSEAUDIO(peer);

  auto context = PulseAudioContext::connect({.server = peer.server()});
  ASSERT_TRUE(context);
  EXPECT_TRUE(context->isConnected());
  EXPECT_EQ(context->server(), peer.server());
  const auto info = context->serverInfo();
  EXPECT_EQ(info.defaultSinkName, peer.sink());
  EXPECT_EQ(info.defaultSourceName, peer.monitor());
  EXPECT_FALSE(info.serverVersion.empty());
  {
    PulseAudioContext::Lock lock(*context);
    EXPECT_EQ(pa_context_get_state(context->context()), PA_CONTEXT_READY);
  }
}

TEST(PulseAudioContext, ServerFromTheEnvironmentOrTheRuntimeSocket) {
  qztest::PulseAudioPeer peer;
  QZ_SKIP_UNLESS_PULSEAUDIO(peer);
  ScopedEnv env;

  env.set("PULSE_SERVER", peer.server());
  EXPECT_EQ(PulseAudioContext::defaultServer(), peer.server());
  EXPECT_EQ(PulseAudioContext::connect()->server(), peer.server());

  // The runtime socket only counts where it is a socket.
  env.unset("PULSE_SERVER");
  const auto runtime = scratchDirectory("pulse-runtime");
  std::filesystem::create_directories(runtime / "pulse");
  env.set("XDG_RUNTIME_DIR", runtime.string());
  const auto expected = "unix:" + (runtime / "pulse" / "native").string();
  {
    SilentSocket socket(runtime / "pulse" / "native");
    EXPECT_EQ(PulseAudioContext::defaultServer(), expected);
  }
  std::filesystem::create_directories(runtime / "pulse" / "native");
  const auto fallback = "/run/user/" + std::to_string(::getuid()) + "/pulse/native";
  if (!std::filesystem::exists(fallback)) {
    EXPECT_EQ(PulseAudioContext::defaultServer(), std::nullopt);
    EXPECT_NE(messageOf([] { PulseAudioContext::connect(); }).find("no sound server"), std::string::npos);
  }
}

TEST(PulseAudioContext, RefusedAndSilentServersFailWithTheirName) {
  const auto dir = scratchDirectory("pulse-missing");
  const auto missing = "unix:" + (dir / "nobody").string();
  const auto refused = messageOf([&] { PulseAudioContext::connect({.server = missing}); });
  EXPECT_NE(refused.find(missing), std::string::npos) << refused;
  EXPECT_NE(refused.find("refused"), std::string::npos) << refused;

  SilentSocket silent(dir / "silent");
  const auto server = "unix:" + (dir / "silent").string();
  const auto started = std::chrono::steady_clock::now();
  const auto timedOut =
      messageOf([&] { PulseAudioContext::connect({.server = server, .connectTimeout = milliseconds(200)}); });
  EXPECT_EQ(timedOut, "sound server " + server + " did not answer within 200 ms");
  // Generous: only shows that the time-out, not the library, ended the wait.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST(PulseAudioContext, ReportsTheServerGoingAway) {
  qztest::PulseAudioPeer peer;
  QZ_SKIP_UNLESS_PULSEAUDIO(peer);
  auto context = PulseAudioContext::connect({.server = peer.server()});
  std::atomic<bool> told{false};
  std::weak_ptr<PulseAudioContext> weak = context;
  context->setDisconnectHandler([&told, weak] {
    auto strong = weak.lock();
    told = strong && !strong->isConnected();
  });

  peer.stop();
  for (int i = 0; i < 500 && !told; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(told);
  EXPECT_FALSE(context->isConnected());
  EXPECT_THROW(context->serverInfo(), PulseAudioError);

  // A handler set after the fact still runs, once.
  std::atomic<int> late{0};
  context->setDisconnectHandler([&late] { ++late; });
  for (int i = 0; i < 500 && late == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(late, 1);
}

}  // namespace
}  // namespace platform
