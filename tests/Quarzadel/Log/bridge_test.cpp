#include <gtest/gtest.h>

#include "LogTestSupport.h"
#include "Logwell/LWLogger.h"
#include "Medley/Sources/ISO/ISOTypeBufferUtil.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Log/MedleyLogging.h"
#include "Quarzadel/Log/SessionLog.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace quarzadel {
namespace {

using logwell::LWLogLevel;
using platform::LogType;

TEST(MedleyLogLevelSetting, IsCapitalisedThenMatchedWithInfoAsFallback) {
  EXPECT_EQ(MedleyLogging::level(std::nullopt), LWLogLevel::info);
  for (auto [setting, level] : std::vector<std::pair<std::string, LWLogLevel>>{
           {"warn", LWLogLevel::warn}, {"tRaCe", LWLogLevel::trace}, {"", LWLogLevel::info},
           {"verbose", LWLogLevel::info}, {"warn ing", LWLogLevel::info}})
    EXPECT_EQ(MedleyLogging::level(setting), level) << setting;
  EXPECT_EQ(capitalized("hello wORLD-x"), "Hello World-X");
}

class BridgeTest : public ::testing::Test {
 protected:
  void install(std::optional<std::string> setting) {
    if (setting) defaults_->set("MedleyLogLevel", *setting);
    MedleyLogging::install();
    logs_.clearSystem();
  }

  testing::ScopedDefaults defaults_;
  testing::LogCapture logs_{"bridge"};
};

TEST_F(BridgeTest, LibraryRecordsBecomeApplicationLines) {
  install(std::nullopt);  // info
  RTMP_LOG_DEBUG("not at info");
  rtmpmedley::logger().warn({"refused by", "127.0.0.1:1935"}, "/src/RTMPMedley/Sources/RTMP/Connection/RTMPConnection.cpp",
                            "connect(_:)", 120);
  medley::logger().info({"a", 1}, "/src/Medley/Sources/Codec/VideoCodec.cpp", "start()", 7);
  medley::logger().error("queue %d KB", 12, "AudioCodec.cpp", "f()", 3);
  std::vector<std::pair<LogType, std::string>> system;
  for (const auto& e : logs_.entries()) system.emplace_back(e.type, e.message);
  EXPECT_EQ(system, (std::vector<std::pair<LogType, std::string>>{
                        {LogType::error, "[Medley RTMPConnection.cpp:120] refused by 127.0.0.1:1935"},
                        {LogType::info, "[Medley VideoCodec.cpp:7] a 1"},
                        {LogType::error, "[Medley AudioCodec.cpp:3] queue 12 KB"}}));
  EXPECT_EQ(logs_.sessionLines(), (std::vector<std::string>{
                                "[WARN] [Log] [Medley RTMPConnection.cpp:120] refused by 127.0.0.1:1935",
                                "[INFO] [Log] [Medley VideoCodec.cpp:7] a 1",
                                "[ERROR] [Log] [Medley AudioCodec.cpp:3] queue 12 KB",
                            }));
}

// The libraries' own call sites leave the joining blank to the bridge.
TEST_F(BridgeTest, LibraryCallSitesReadWithSingleBlanks) {
  install(std::nullopt);
  medley::ISOTypeBufferUtil{{0, 0, 0, 9, 1, 2}}.toByteStream();
  medley::ISOTypeBufferUtil{{0, 0, 0, 1, 7, 0, 0}}.toByteStream();
  auto lines = logs_.sessionLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with("] eof: unit of 9 bytes with 2 left")) << lines[0];
  EXPECT_TRUE(lines[1].ends_with("] eof: 2 bytes left for a 4-byte length")) << lines[1];
}

}  // namespace
}  // namespace quarzadel
