#include <gtest/gtest.h>

#include "LogTestSupport.h"
#include "Logwell/LWLogger.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Log/MedleyLogging.h"
#include "Quarzadel/Log/SessionLog.h"
#include "RTMPMedley/Sources/RTMP/RTMPMedleyLogger.h"

namespace quarzadel {
namespace {

using logwell::LWLogLevel;
using platform::LogType;

TEST(MedleyLogLevelSetting, IsCapitalisedThenMatchedWithInfoAsFallback) {
  EXPECT_EQ(MedleyLogging::level(std::nullopt), LWLogLevel::info);
  EXPECT_EQ(MedleyLogging::level("WARN"), LWLogLevel::warn);
  EXPECT_EQ(MedleyLogging::level("warn"), LWLogLevel::warn);
  EXPECT_EQ(MedleyLogging::level("Warn"), LWLogLevel::warn);
  EXPECT_EQ(MedleyLogging::level("tRaCe"), LWLogLevel::trace);
  EXPECT_EQ(MedleyLogging::level("debug"), LWLogLevel::debug);
  EXPECT_EQ(MedleyLogging::level("ERROR"), LWLogLevel::error);
  EXPECT_EQ(MedleyLogging::level(""), LWLogLevel::info);
  EXPECT_EQ(MedleyLogging::level("verbose"), LWLogLevel::info);
  EXPECT_EQ(MedleyLogging::level("warn ing"), LWLogLevel::info);
  EXPECT_EQ(capitalized("hello wORLD-x"), "Hello World-X");
}

class BridgeTest : public ::testing::Test {
 protected:
  void install(std::optional<std::string> setting) {
    if (setting) defaults_->set("MedleyLogLevel", *setting);
    MedleyLogging::install();
    SessionLog::shared()->startSession("bridge");
    capture_.sink().clear();
  }
  // Session-log lines after the first, without their time.
  std::vector<std::string> sessionLines() {
    auto url = SessionLog::shared()->close();
    std::vector<std::string> lines;
    if (!url) return lines;
    auto all = testing::readLines(*url);
    for (size_t k = 1; k < all.size(); ++k) lines.push_back(testing::withoutTime(all[k]));
    return lines;
  }

  testing::ScopedTempDir dir_;
  testing::ScopedEnv state_{"XDG_STATE_HOME", dir_.path().string()};
  testing::ScopedDefaults defaults_;
  platform::ScopedSystemLogCapture capture_;
};

TEST_F(BridgeTest, InstallSetsBothModuleLoggersThroughTheRegistry) {
  install("WARN");
  for (auto* logger : {&medley::logger(), &rtmpmedley::logger()}) {
    EXPECT_EQ(logger->level(), LWLogLevel::warn);
    EXPECT_TRUE(std::dynamic_pointer_cast<MedleyLogging::Appender>(logger->appender()));
  }
  EXPECT_EQ(&medley::logger(), logwell::LWLogger::with("quarzadel.Medley").get());
  EXPECT_EQ(&rtmpmedley::logger(), logwell::LWLogger::with("quarzadel.RTMPMedley").get());
}

TEST_F(BridgeTest, LibraryRecordsBecomeApplicationLines) {
  install(std::nullopt);  // info
  RTMP_LOG_DEBUG("not at info");
  rtmpmedley::logger().warn({"refused by ", "127.0.0.1", ":", 1935}, "/src/RTMPMedley/Sources/RTMP/RTMPConnection.cpp",
                            "connect(_:)", 120);
  medley::logger().info({"a", 1}, "/src/Medley/Sources/Codec/VideoCodec.cpp", "start()", 7);
  medley::logger().error("queue %d KB", 12, "AudioCodec.cpp", "f()", 3);
  auto system = capture_.sink().entries();
  ASSERT_EQ(system.size(), 3u);
  EXPECT_EQ(system[0].type, LogType::error);
  EXPECT_EQ(system[0].message, "[Medley RTMPConnection.cpp:120] refused by  127.0.0.1 : 1935");
  EXPECT_EQ(system[1].type, LogType::info);
  EXPECT_EQ(system[1].message, "[Medley VideoCodec.cpp:7] a 1");
  EXPECT_EQ(system[2].type, LogType::error);
  EXPECT_EQ(system[2].message, "[Medley AudioCodec.cpp:3] queue 12 KB");
  EXPECT_EQ(sessionLines(), (std::vector<std::string>{
                                "[WARN] [Log] [Medley RTMPConnection.cpp:120] refused by  127.0.0.1 : 1935",
                                "[INFO] [Log] [Medley VideoCodec.cpp:7] a 1",
                                "[ERROR] [Log] [Medley AudioCodec.cpp:3] queue 12 KB",
                            }));
}

TEST_F(BridgeTest, TraceAndDebugReachTheSystemLogOnly) {
  install("trace");
  MEDLEY_LOG_TRACE("frame ", 1);
  RTMP_LOG_DEBUG("chunk ", 2);
  auto system = capture_.sink().entries();
  ASSERT_EQ(system.size(), 2u);
  EXPECT_EQ(system[0].type, LogType::debug);
  EXPECT_EQ(system[0].message, "[Medley bridge_test.cpp:" + std::to_string(__LINE__ - 5) + "] frame  1");
  EXPECT_EQ(system[1].type, LogType::debug);
  EXPECT_TRUE(sessionLines().empty());
}

TEST_F(BridgeTest, AMisspeltLevelKeepsInfo) {
  install("loud");
  MEDLEY_LOG_DEBUG("dropped");
  MEDLEY_LOG_INFO("kept");
  EXPECT_EQ(capture_.sink().entries().size(), 1u);
  EXPECT_EQ(sessionLines().size(), 1u);
}

}  // namespace
}  // namespace quarzadel
