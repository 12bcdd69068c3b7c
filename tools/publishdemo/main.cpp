// Publishes the synthetic program (a synthetic camera and the test tone)
// through RTMPPublisher and prints one JSON object per line: the publisher's
// states, its statistics once a second, its problem texts and its log lines;
// with --memory, also the process's memory once a second, live or not.
// Nothing else goes to standard output: the libraries log to standard error.
//
//   publishdemo --url rtmp://127.0.0.1:PORT/live --key NAME [--seconds 30]
//               [--resolution 720p|1080p] [--codec h264|hevc]
//               [--camera synthetic-a|synthetic-noise|...] [--memory 1]
// The noise camera's picture does not compress, so it fills any bit rate.
// Ends with {"event":"done"} after stopping the publisher.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "Logwell/ConsoleAppender.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Concurrency/Sleep.h"
#include "Platform/Dispatch/Runtime.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Log/SystemLog.h"
#include "Platform/Memory/MallocSettings.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"
#include "tools/rtmpsmoke/ProgramFeed.h"

namespace {

using nlohmann::json;

std::mutex outputLock;

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void emit(json line) {
  line["t"] = wallSeconds();
  std::lock_guard guard(outputLock);
  std::cout << line.dump() << std::endl;
}

// Every system-log line of the application, as it is written.
class JsonLogSink final : public platform::SystemLogSink {
 public:
  void write(platform::LogType type, std::string_view, std::string_view category,
             std::string_view message) override {
    emit({{"event", "log"},
          {"level", type == platform::LogType::error || type == platform::LogType::fault ? "WARN" : "INFO"},
          {"category", std::string(category)},
          {"message", std::string(message)}});
  }
};

// Resident set size of this process in KiB, 0 when unreadable.
int64_t residentKB() {
  std::ifstream statm("/proc/self/statm");
  int64_t pages = 0, resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return resident * ::sysconf(_SC_PAGESIZE) / 1024;
}

// Resident memory, and what the allocator holds for the program: in use in
// its main heap plus its separately mapped blocks (large buffers).
json memory() {
  const struct mallinfo2 heap = ::mallinfo2();
  return {{"event", "memory"},
          {"rssKB", residentKB()},
          {"heapKB", static_cast<int64_t>((heap.uordblks + heap.hblkhd) / 1024)}};
}

platform::Async<void> reportMemory(std::shared_ptr<std::atomic<bool>> running) {
  while (running->load()) {
    emit(memory());
    co_await platform::sleepFor(platform::kNanosPerSecond);
  }
}

json describe(const quarzadel::RTMPPublisher::State& state) {
  json j{{"event", "state"}, {"state", state.description()}};
  if (auto* live = std::get_if<quarzadel::RTMPPublisherState::Live>(&state.value))
    j["since"] = std::chrono::duration<double>(live->since.time_since_epoch()).count();
  if (auto* r = std::get_if<quarzadel::RTMPPublisherState::Reconnecting>(&state.value)) {
    j["state"] = "reconnecting";
    j["attempt"] = r->attempt;
    j["reason"] = r->reason;
  }
  return j;
}

const char* qualityName(quarzadel::RTMPPublisher::Stats::Quality q) {
  switch (q) {
    case quarzadel::RTMPPublisher::Stats::Quality::good:
      return "good";
    case quarzadel::RTMPPublisher::Stats::Quality::fair:
      return "fair";
    case quarzadel::RTMPPublisher::Stats::Quality::poor:
      return "poor";
  }
  return "?";
}

struct Options {
  std::string url;
  std::string key = "publishdemo";
  std::string camera = "synthetic-a";
  double seconds = 30;
  bool memory = false;
  quarzadel::StreamConfig config;
};

Options parse(int argc, char** argv) {
  Options o;
  o.config.videoCodec = quarzadel::StreamConfig::VideoCodec::h264;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--url") o.url = value;
    else if (flag == "--key") o.key = value;
    else if (flag == "--camera") o.camera = value;
    else if (flag == "--memory") o.memory = value == "1";
    else if (flag == "--seconds") o.seconds = std::atof(value.c_str());
    else if (flag == "--resolution")
      o.config.resolution = value == "720p" ? quarzadel::StreamConfig::Resolution::hd720
                                            : quarzadel::StreamConfig::Resolution::hd1080;
    else if (flag == "--codec")
      o.config.videoCodec =
          value == "hevc" ? quarzadel::StreamConfig::VideoCodec::hevc : quarzadel::StreamConfig::VideoCodec::h264;
  }
  if (o.url.empty()) {
    std::cerr << "usage: publishdemo --url rtmp://HOST:PORT/APP [--key NAME] [--seconds N] "
                 "[--resolution 720p|1080p] [--codec h264|hevc] [--camera ID] [--memory 1]\n";
    std::exit(2);
  }
  return o;
}

platform::Async<void> session(Options o, std::shared_ptr<platform::ThreadRuntime> runtime) {
  quarzadel::RTMPPublisher::Environment env;
  env.runtime = runtime;
  env.demoLiveElapsed = [] { return 0.0; };
  auto publisher = quarzadel::RTMPPublisher::make(env);
  publisher->onState = [](const quarzadel::RTMPPublisher::State& s) { emit(describe(s)); };
  publisher->onStats = [](const quarzadel::RTMPPublisher::Stats& s) {
    emit({{"event", "stats"},
          {"uploadKbps", s.uploadKbps},
          {"targetKbps", s.targetKbps},
          {"fps", s.fps},
          {"queuedKB", s.queuedKB},
          {"codec", s.codec},
          {"quality", qualityName(s.quality)}});
  };
  publisher->onProblem = [](const std::optional<std::string>& p) {
    emit({{"event", "problem"}, {"text", p ? json(*p) : json(nullptr)}});
  };
  auto main = runtime->mainQueue();
  std::weak_ptr<quarzadel::RTMPPublisher> weak = publisher;
  auto feed = rtmpsmoke::ProgramFeed::make(
      o.config, runtime, main,
      [weak](const platform::SampleBufferRef& frame) {
        if (auto p = weak.lock()) p->gate().append(frame);
      },
      [weak](const platform::PCMBufferRef& buffer, const platform::AudioTime& time) {
        if (auto p = weak.lock()) p->gate().append(buffer, time);
      },
      [](const std::string& line) { emit({{"event", "program"}, {"message", line}}); });
  if (!feed->start(o.camera)) {
    emit({{"event", "error"}, {"message", "unknown camera " + o.camera}});
    platform::stopRuntimeBeforeExit();
    std::exit(2);
  }
  auto measuring = std::make_shared<std::atomic<bool>>(o.memory);
  if (o.memory) platform::spawnDetached(main, reportMemory, measuring);
  publisher->start(o.url, o.key, o.config);
  co_await platform::sleepFor(static_cast<platform::Nanos>(o.seconds * 1e9));
  measuring->store(false);
  co_await publisher->stop();
  feed->stop();
  co_await platform::sleepFor(platform::milliseconds(100));
  emit({{"event", "done"}});
  runtime->stopMainLoop();
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  // Memory that publish attempts and encoders free is given back, not kept in the heap.
  platform::MallocSettings::fix();
  Options options = parse(argc, argv);
  // Standard output carries JSON lines only; the libraries' log goes to standard error.
  for (auto* library : {&rtmpmedley::logger(), &medley::logger()}) {
    library->setLevel(logwell::LWLogLevel::warn);
    library->setAppender(std::make_shared<logwell::ConsoleAppender>(stderr));
  }
  platform::SystemLog::setSink(std::make_shared<JsonLogSink>());
  auto runtime = std::make_shared<platform::ThreadRuntime>(6);
  platform::spawnDetached(runtime->mainQueue(), session, options, runtime);
  runtime->runMainLoop();
  return 0;
}
