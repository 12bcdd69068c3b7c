// Encodes the program twice, as going live with the local copy does: the program
// picture (one synthetic camera) and the test tone, fanned out to a stream's
// encoders (H.264 as the Studio goes live: High at its constant rate with a
// one-second rate buffer and its key-frame interval; AAC 96 kbit/s, written to an
// FLV as the stand-in for the connection) and to the local copy (H.264 High, 16 or 10 Mbit/s,
// AAC 192 kbit/s, fragmented MP4). Runs on virtual time as fast as the encoders
// go, waiting for them after every 20 ms of program; prints the peak RSS.
//   program_copy --out DIR [--resolution 720p|1080p] [--seconds 10]
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "Medley/Sources/Extension/AssetWriter.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Capture/SyntheticToneSource.h"
#include "Quarzadel/Capture/SyntheticVideoSource.h"
#include "Quarzadel/Program/ProgramAudio.h"
#include "Quarzadel/Program/ProgramVideo.h"
#include "Quarzadel/Studio/EncoderProbe.h"
#include "Quarzadel/Studio/LiveVideoSettings.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "Quarzadel/Studio/RecorderSlot.h"

using namespace quarzadel;

namespace {

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: program_copy --out DIR [--resolution 720p|1080p] [--seconds S]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  StreamConfig config;
  double seconds = 10;
  std::filesystem::path out;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) usage();
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--resolution") {
      const auto r = fromRawValue<StreamConfig::Resolution>(value);
      if (!r) usage();
      config.resolution = *r;
    } else if (key == "--seconds") {
      seconds = std::atof(value.c_str());
    } else if (key == "--out") {
      out = value;
    } else {
      usage();
    }
  }
  if (out.empty() || !(seconds > 0)) usage();

  auto rt = platform::VirtualRuntime::make();
  // The stream's encoders.
  auto stream = medley::AssetWriter::make(out / "stream.flv", medley::AssetFileType::flv, rt);
  // As the Studio sets up its H.264 stream when it goes live: at its starting (and highest) rate.
  const auto live = liveVideoSettings(config, StreamConfig::VideoCodec::h264,
                                      RTMPPublisher::maximumBitrate(config.resolution),
                                      systemEncoderProbe()(StreamConfig::VideoCodec::h264, config.width(),
                                                           config.height()).constantBitRate);
  medley::AssetVideoSettings streamVideo;
  streamVideo.width = static_cast<int>(live.videoSize.width);
  streamVideo.height = static_cast<int>(live.videoSize.height);
  streamVideo.averageBitRate = live.bitRate;
  streamVideo.bitRateMode = live.bitRateMode;
  streamVideo.profileLevel = live.profileLevel();
  streamVideo.maxKeyFrameIntervalDuration = live.maxKeyFrameIntervalDuration;
  if (live.expectedFrameRate) streamVideo.expectedFrameRate = static_cast<int>(*live.expectedFrameRate);
  auto streamPictures = std::make_shared<medley::AssetWriter::Input>(platform::MediaType::video, streamVideo);
  auto streamSound = std::make_shared<medley::AssetWriter::Input>(platform::MediaType::audio,
                                                                  medley::AssetAudioSettings{48000, 2, 96000});
  stream->add(streamPictures);
  stream->add(streamSound);
  if (!stream->startWriting()) return 1;
  bool sessionStarted = false;

  auto slot = std::make_shared<RecorderSlot>();
  LocalRecorder::Environment environment;
  environment.moviesFolder = out;
  environment.runtime = rt;

  auto video = ProgramVideo::make(config, Framing::automatic, CameraTransition::cut, rt);
  auto audio = ProgramAudio::make(rt);
  video->onOutput = [&](const platform::SampleBufferRef& frame) {
    if (!sessionStarted) {
      stream->startSession(frame->presentationTime());
      sessionStarted = true;
    }
    streamPictures->append(frame);
    slot->appendVideo(frame);
  };
  audio->onOutput = [&](const platform::PCMBufferRef& buffer, const platform::AudioTime& when) {
    if (sessionStarted) streamSound->append(buffer, when);
    slot->appendAudio(buffer, when);
  };
  video->start();
  audio->start();
  video->switchTo(SyntheticVideoSource::make(*SyntheticSources::spec("synthetic-a"), rt, nullptr));
  audio->switchTo(std::make_shared<SyntheticToneSource>(ToneSpec{"synthetic-tone", "Tone"}));
  const auto defaults = platform::UserDefaults::inMemory();
  if (slot->startLocalCopy("Benchmark", true, config, *defaults, environment,
                           [](const std::filesystem::path&) { return int64_t{1} << 40; })) {
    return 1;
  }

  const int steps = static_cast<int>(seconds / 0.02 + 0.5);
  for (int i = 0; i < steps; ++i) {
    rt->advance(platform::milliseconds(20));
    rt->runUntilIdle();
    auto recorder = slot->recorder();
    while (streamPictures->pendingEncoderFrames() > 0 || (recorder && recorder->pendingEncoderFrames() > 0)) {
      std::this_thread::yield();
      rt->runUntilIdle();
    }
  }
  video->stop();
  audio->stop();
  rt->runUntilIdle();

  bool streamDone = false;
  stream->finishWriting([&] { streamDone = true; });
  auto copy = platform::spawn(rt->mainQueue(), slot->finishRecording());
  while (!streamDone || !copy.isFinished()) {
    rt->runUntilIdle();
    std::this_thread::yield();
  }
  const auto notice = copy.result();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%s\nstream: %s\npeak RSS: %ld KiB\n", notice ? notice->text.c_str() : "no copy",
              stream->status() == medley::AssetWriter::Status::completed ? "written" : "failed", usage.ru_maxrss);
  return notice && stream->status() == medley::AssetWriter::Status::completed ? 0 : 1;
}
