#pragma once
// Goes live at 720p with the local copy on, on virtual time: the program picture (one
// synthetic camera) and the program sound (the test tone) fan out to a recorder
// slot, as the Studio's fan-out does. The clock moves in 20 ms steps and waits for
// the encoder to take what it was given, as it keeps up in real time.
#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "CommandOutput.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Capture/SyntheticToneSource.h"
#include "Quarzadel/Capture/SyntheticVideoSource.h"
#include "Quarzadel/Program/ProgramAudio.h"
#include "Quarzadel/Program/ProgramVideo.h"
#include "Quarzadel/Studio/RecorderSlot.h"

namespace studiotest {

struct ProgramCopy {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  quarzadel::StreamConfig config{quarzadel::StreamConfig::Resolution::hd720};
  std::shared_ptr<quarzadel::ProgramVideo> video;
  std::shared_ptr<quarzadel::ProgramAudio> audio;
  std::shared_ptr<quarzadel::RecorderSlot> slot = std::make_shared<quarzadel::RecorderSlot>();
  bool hardwareHEVC = false;  // the encoder probe's answer
  // Given to the recorder: called when its file stops taking writes.
  std::function<void(const std::shared_ptr<quarzadel::LocalRecorder>&)> onWriteFailure;

  // Opens the Studio's program, lets it run as the Studio does before going live,
  // then goes live with the copy on.
  void start(const std::filesystem::path& folder, const std::string& title) {
    video = quarzadel::ProgramVideo::make(config, quarzadel::Framing::automatic, quarzadel::CameraTransition::cut, rt);
    audio = quarzadel::ProgramAudio::make(rt);
    auto slotRef = slot;
    video->onOutput = [slotRef](const platform::SampleBufferRef& frame) { slotRef->appendVideo(frame); };
    audio->onOutput = [slotRef](const platform::PCMBufferRef& buffer, const platform::AudioTime& when) {
      slotRef->appendAudio(buffer, when);
    };
    video->start();
    audio->start();
    video->switchTo(quarzadel::SyntheticVideoSource::make(*quarzadel::SyntheticSources::spec("synthetic-a"), rt, nullptr));
    audio->switchTo(std::make_shared<quarzadel::SyntheticToneSource>(quarzadel::ToneSpec{"synthetic-tone", "Tone"}));
    run(2.0);
    quarzadel::LocalRecorder::Environment environment{folder, platform::WallClock::system(), rt, false, {}};
    environment.hardwareHEVCEncoderAvailable = hardwareHEVC;
    environment.onWriteFailure = onWriteFailure;
    EXPECT_FALSE(slot->startLocalCopy(title, true, config, *platform::UserDefaults::inMemory(), environment,
                                      [](const std::filesystem::path&) { return int64_t{1} << 40; }));
  }

  // Moves the program on by `seconds`.
  void run(double seconds) {
    const int steps = static_cast<int>(seconds / 0.02 + 0.5);
    for (int i = 0; i < steps; ++i) {
      rt->advance(platform::milliseconds(20));
      settle();
    }
  }

  // Lets the encoder take every picture handed over, and the writer write what came out.
  void settle() {
    rt->runUntilIdle();
    auto recorder = slot->recorder();
    while (recorder && recorder->pendingEncoderFrames() > 0) {
      std::this_thread::yield();
      rt->runUntilIdle();
    }
  }

  // Stops the program and finishes the copy; the notice of its outcome.
  std::optional<quarzadel::RecorderNotice> finish() {
    video->stop();
    audio->stop();
    rt->runUntilIdle();
    // The encoders finish on their own threads: their last output is posted from there.
    auto task = platform::spawn(rt->mainQueue(), slot->finishRecording());
    while (!task.isFinished()) {
      rt->runUntilIdle();
      if (!task.isFinished()) std::this_thread::yield();
    }
    return task.result();
  }
};

using qztest::runCommand;

inline std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// What ffprobe says of a Studio copy ("-of json -show_entries stream=codec_type,
// codec_name,width,height,avg_frame_rate,sample_rate,channels,bit_rate,
// color_primaries,color_transfer,color_space,start_time:format=duration") for
// about 12 s of program: H.264 at the given size and about 30 fps with BT.709
// tags, AAC 48 kHz stereo never above the copy's 192 kbit/s (the tone is mostly
// silence), the sound not before the first picture, 11 to 13 s long.
inline void expectTwelveSecondCopy(const nlohmann::json& info, int width, int height, double fpsTolerance) {
  ASSERT_TRUE(info.is_object());
  ASSERT_EQ(info.at("streams").size(), 2u) << info.dump();
  double videoStart = -1, audioStart = -1;
  for (const auto& s : info.at("streams")) {
    if (s.at("codec_type") == "video") {
      EXPECT_EQ(s.at("codec_name"), "h264");
      EXPECT_EQ(s.at("width"), width);
      EXPECT_EQ(s.at("height"), height);
      int num = 0, den = 0;
      ASSERT_EQ(std::sscanf(s.at("avg_frame_rate").get<std::string>().c_str(), "%d/%d", &num, &den), 2);
      EXPECT_NEAR(double(num) / den, 30, fpsTolerance) << num << "/" << den;
      for (const char* tag : {"color_primaries", "color_transfer", "color_space"}) EXPECT_EQ(s.value(tag, ""), "bt709");
      videoStart = std::stod(s.at("start_time").get<std::string>());
    } else {
      EXPECT_EQ(s.at("codec_name"), "aac");
      EXPECT_EQ(s.at("sample_rate"), "48000");
      EXPECT_EQ(s.at("channels"), 2);
      EXPECT_LE(std::stoi(s.value("bit_rate", "0")), 192000 * 11 / 10);
      audioStart = std::stod(s.at("start_time").get<std::string>());
    }
  }
  EXPECT_GE(audioStart, videoStart) << "sound before the first picture";
  const double duration = std::stod(info.at("format").at("duration").get<std::string>());
  EXPECT_GE(duration, 11.0);
  EXPECT_LE(duration, 13.0);
}

}  // namespace studiotest
