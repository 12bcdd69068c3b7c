#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>
#include <tuple>

#include "Platform/Audio/PulseAudioCapture.h"
#include "Platform/Media/PCMBuffer.h"
#include "Quarzadel/Capture/DeviceCatalog.h"
#include "Quarzadel/Capture/MicCapture.h"
#include "Quarzadel/Capture/PulseMicrophoneListing.h"
#include "Quarzadel/Program/ProgramAudio.h"
#include "Quarzadel/Program/program_test_support.h"
#include "Eventually.h"
#include "peers/PulseAudioPeer.h"

namespace quarzadel {
namespace {

using namespace std::chrono_literals;

using qztest::eventually;

class MicPulseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.ok()) << peer.output();
    platform::PulseAudioContext::Options options;
    options.server = peer.server();
    context = platform::PulseAudioContext::connect(options);
  }
  std::string pactl(const std::string& args) { return qztest::run(peer.environment() + "pactl " + args); }

  qztest::PulseAudioPeer peer{{"module-sine-source source_name=qz_sine rate=48000 frequency=1000 "
                               "source_properties=device.description=Sine"}};
  std::shared_ptr<platform::PulseAudioContext> context;
  std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared();
};

TEST_F(MicPulseTest, TheCatalogueFollowsTheServerAndUnloadingTheSourceOnAirGivesOneDisconnect) {
  testing::LogCapture logs;
  auto main = platform::SerialQueue::make("test-main", runtime);
  std::shared_ptr<DeviceCatalog> catalog;
  main->sync([&] { catalog = DeviceCatalog::make(nullptr, std::make_shared<PulseMicrophoneListing>(context), main); });
  std::mutex m;
  std::vector<std::string> published;
  auto record = [&](const char* what) {
    return [&, what](const auto&) {
      std::lock_guard lock(m);
      published.push_back(what);
    };
  };
  auto s1 = catalog->microphones.publisher().dropFirst().sink(record("microphones"));
  auto s2 = catalog->systemDefaultMicID.publisher().dropFirst().sink(record("systemDefaultMicID"));
  auto s3 = catalog->cameras.publisher().dropFirst().sink(record("cameras"));

  auto mics = catalog->microphones.value();
  ASSERT_EQ(mics.size(), 1u) << "the null sink's monitor is no microphone";
  EXPECT_EQ(mics[0], (MicDevice{"qz_sine", "Sine", false, true}));

  const std::string module = pactl("load-module module-sine-source source_name=qz_sine2 rate=48000 frequency=440");
  ASSERT_TRUE(eventually([&] { return catalog->microphones.value().size() == 2; }));
  pactl("set-default-source qz_sine");
  ASSERT_TRUE(eventually([&] { return catalog->systemDefaultMicID.value() == "qz_sine"; }));
  std::this_thread::sleep_for(300ms);  // later events of the same changes must publish nothing
  {
    std::lock_guard lock(m);
    EXPECT_EQ(std::count(published.begin(), published.end(), "microphones"), 1);
    EXPECT_EQ(std::count(published.begin(), published.end(), "cameras"), 0);
  }

  // The new source on air, then unloaded: one disconnect, one failed event, and the list follows.
  auto program = ProgramAudio::make(runtime);
  std::vector<ProgramEvent> events;
  program->onEvent = [&](const ProgramEvent& e) {
    std::lock_guard lock(m);
    events.push_back(e);
  };
  program->start();
  program->switchTo(
      std::make_shared<MicCapture>("qz_sine2", "Sine 2", std::make_shared<platform::PulseAudioCapture>(context)));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return !events.empty();
  }));
  pactl("unload-module " + module.substr(0, module.find('\n')));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return events.size() >= 2 && catalog->microphones.value().size() == 1;
  }));
  std::this_thread::sleep_for(300ms);
  program->stop();
  program->queue()->sync([] {});
  main->sync([&] { catalog.reset(); });
  std::lock_guard lock(m);
  EXPECT_EQ(events, (std::vector<ProgramEvent>{
                        ProgramEvent::onAir("qz_sine2", "Sine 2"),
                        ProgramEvent::onAirSourceFailed("qz_sine2", "Sine 2", "Sine 2 was disconnected.")}));
  auto lines = logs.sessionLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[WARN] [MicCapture] Microphone failure: Sine 2 was disconnected."),
            1);
}

TEST_F(MicPulseTest, TwoSecondsFromTheSineSourceMeasureOneKilohertz) {
  testing::ScopedTempDir dir;
  auto queue = platform::SerialQueue::make("program-audio", runtime);
  auto mic = std::make_shared<MicCapture>("qz_sine", "Sine", std::make_shared<platform::PulseAudioCapture>(context));
  std::mutex m;
  std::vector<float> samples;
  std::vector<double> times;
  uint32_t channels = 0;
  queue->sync([&] {
    mic->start(
        queue,
        [&](PCMBufferRef buffer, double t) {
          EXPECT_TRUE(queue->isCurrent());
          std::lock_guard lock(m);
          channels = buffer->format().channelCount();
          const float* ch0 = buffer->floatChannelData()[0];
          samples.insert(samples.end(), ch0, ch0 + buffer->frameLength());
          times.push_back(t);
        },
        [](const std::string& r) { ADD_FAILURE() << r; });
  });
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return samples.size() >= 96000;
  }));
  queue->sync([&] { mic->stop(); });
  std::lock_guard lock(m);
  EXPECT_EQ(channels, 1u);
  // The test source sends what it made while nobody listened in one burst at first:
  // stamps follow the host clock and never run ahead of it.
  const double now = platform::toSeconds(platform::monotonicNow());
  EXPECT_NEAR(times.back(), now, 1.0) << "stamped on the host clock";
  EXPECT_LT(times.back(), now);
  const auto raw = dir.path() / "mic.f32";
  std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(samples.data()), 96000 * sizeof(float));
  const std::string stat = qztest::run("sox -t f32 -r 48000 -c 1 '" + raw.string() + "' -n stat");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(stat, match, std::regex(R"(Rough\s+frequency:\s+(\d+))"))) << stat;
  EXPECT_NEAR(std::stod(match[1]), 1000.0, 20.0) << stat;
}

// Four channels are asked for as two, a mono source as one: the log line and
// the buffers say the same.
TEST_F(MicPulseTest, AFourChannelSourceIsCapturedAsTwoAndAMonoOneAsOne) {
  testing::LogCapture logs;
  pactl("load-module module-null-source source_name=qz_quad channels=4 rate=48000");
  pactl("load-module module-null-source source_name=qz_mono channels=1 rate=48000");
  auto queue = platform::SerialQueue::make("program-audio", runtime);
  for (const auto& [id, name, expected] : std::vector<std::tuple<std::string, std::string, uint32_t>>{
           {"qz_quad", "Quad", 2}, {"qz_mono", "Mono", 1}}) {
    auto mic = std::make_shared<MicCapture>(id, name, std::make_shared<platform::PulseAudioCapture>(context));
    std::mutex m;
    std::vector<uint32_t> channels;
    queue->sync([&] {
      mic->start(
          queue,
          [&](PCMBufferRef buffer, double) {
            std::lock_guard lock(m);
            channels.push_back(buffer->format().channelCount());
          },
          [](const std::string& r) { ADD_FAILURE() << r; });
    });
    ASSERT_TRUE(eventually([&] {
      std::lock_guard lock(m);
      return channels.size() >= 5;
    })) << name;
    queue->sync([&] { mic->stop(); });
    std::lock_guard lock(m);
    EXPECT_EQ(std::count(channels.begin(), channels.end(), expected), static_cast<long>(channels.size())) << name;
  }
  MicCapture::sessionQueue(runtime)->sync([] {});
  const auto lines = logs.sessionLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[INFO] [MicCapture] Microphone started: Quad (2 ch)"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[INFO] [MicCapture] Microphone started: Mono (1 ch)"), 1);
}

}  // namespace
}  // namespace quarzadel
