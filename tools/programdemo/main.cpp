// programdemo: renders N seconds of program picture on virtual time from a
// synthetic camera, optionally switching to another one part-way, and writes the
// frames as raw NV12 (1920x1080 or 1280x720, no header). With the program-sound
// half linked in, it also writes the program sound as a WAV file.
//
//   programdemo --out program.nv12 [--seconds 5] [--from synthetic-a] [--to synthetic-c]
//               [--switch-at 2] [--transition dissolve|cut] [--framing automatic|fill|fit]
//               [--resolution 1080p|720p] [--snapshots 1.5,3.05,4.5] [--snapshot-prefix snap]
//               [--wav program.wav] [--realtime]
//
// Virtual time by default (as fast as the machine renders); --realtime runs the
// cameras and the program on threads against the real clock. User defaults may
// follow as "-Key value" pairs, e.g. -SyntheticClip clip.nv12 -SyntheticClipName Lobby.
//
// Check the result with, for example:
//   ffprobe -f rawvideo -pixel_format nv12 -video_size 1920x1080 -framerate 30 -count_frames
//           -show_entries stream=nb_read_frames program.nv12
//   ffmpeg -f rawvideo -pixel_format nv12 -video_size 1920x1080 -i snap-1.500.nv12 snap.png
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <chrono>
#include <thread>

#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Memory/MallocSettings.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Program/ProgramVideo.h"

namespace programdemo {
// The program-sound half (its own source file in this directory): starts the
// program sound with the test tone on `runtime` and returns the function that
// stops it and writes the WAV file. Absent when that file is not linked in.
std::function<void()> startProgramSound(std::shared_ptr<platform::Runtime> runtime, const std::string& wavPath)
    __attribute__((weak));
}  // namespace programdemo

namespace {

using namespace quarzadel;

struct Options {
  double seconds = 5;
  std::string from = "synthetic-a";
  std::string to;
  double switchAt = 2;
  CameraTransition transition = CameraTransition::dissolve;
  Framing framing = Framing::automatic;
  StreamConfig::Resolution resolution = StreamConfig::Resolution::hd1080;
  std::string out;
  std::string wav;
  std::vector<double> snapshots;
  std::string snapshotPrefix = "snap";
  bool realtime = false;
};

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "programdemo: " << problem << "\n"
            << "usage: programdemo --out FILE.nv12 [--seconds S] [--from ID] [--to ID] [--switch-at S]\n"
            << "                   [--transition cut|dissolve] [--framing automatic|fill|fit]\n"
            << "                   [--resolution 720p|1080p] [--snapshots T1,T2,...] [--snapshot-prefix P]\n"
            << "                   [--wav FILE.wav] [--realtime] [-DefaultsKey value ...]\n"
            << "cameras:";
  for (const auto& spec : SyntheticSources::specs()) std::cerr << " " << spec.id;
  std::cerr << "\n";
  std::exit(2);
}

double number(const std::string& text, const std::string& what) {
  try {
    size_t used = 0;
    const double v = std::stod(text, &used);
    if (used == text.size() && v >= 0) return v;
  } catch (const std::exception&) {
  }
  usage("bad " + what + ": " + text);
}

template <class E>
E parse(const std::string& text, const std::string& what) {
  if (auto v = fromRawValue<E>(text)) return *v;
  usage("bad " + what + ": " + text);
}

Options parseOptions(int argc, char** argv) {
  Options o;
  std::vector<std::string> defaults;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
      if (i + 1 >= argc) usage("missing value for " + arg);
      defaults.push_back(arg);
      defaults.push_back(argv[++i]);
      continue;
    }
    if (arg == "--realtime") {
      o.realtime = true;
      continue;
    }
    if (i + 1 >= argc) usage("missing value for " + arg);
    const std::string value = argv[++i];
    if (arg == "--seconds") o.seconds = number(value, "seconds");
    else if (arg == "--from") o.from = value;
    else if (arg == "--to") o.to = value;
    else if (arg == "--switch-at") o.switchAt = number(value, "switch time");
    else if (arg == "--transition") o.transition = parse<CameraTransition>(value, "transition");
    else if (arg == "--framing") o.framing = parse<Framing>(value, "framing");
    else if (arg == "--resolution") o.resolution = parse<StreamConfig::Resolution>(value, "resolution");
    else if (arg == "--out") o.out = value;
    else if (arg == "--wav") o.wav = value;
    else if (arg == "--snapshot-prefix") o.snapshotPrefix = value;
    else if (arg == "--snapshots") {
      std::stringstream list(value);
      std::string item;
      while (std::getline(list, item, ','))
        if (!item.empty()) o.snapshots.push_back(number(item, "snapshot time"));
    } else usage("unknown option " + arg);
  }
  platform::UserDefaults::standard()->setArguments(defaults);
  if (o.out.empty()) usage("--out is required");
  if (o.seconds <= 0) usage("--seconds must be positive");
  if (!SyntheticSources::spec(o.from)) usage("unknown camera " + o.from);
  if (!o.to.empty() && !SyntheticSources::spec(o.to)) usage("unknown camera " + o.to);
  return o;
}

// Writes the picture's rows without padding: luma rows, then chroma rows.
bool writeFrame(std::ostream& out, const platform::PixelBuffer& image) {
  for (int p = 0; p < 2; ++p) {
    const auto plane = image.plane(p);
    const auto rowBytes = static_cast<std::streamsize>(p == 0 ? image.width() : plane.width * 2);
    for (int row = 0; row < plane.height; ++row)
      out.write(reinterpret_cast<const char*>(plane.data + row * plane.bytesPerRow), rowBytes);
  }
  return static_cast<bool>(out);
}

const char* eventName(ProgramVideo::Event::Kind kind) {
  switch (kind) {
    case ProgramVideo::Event::Kind::onAir: return "on air";
    case ProgramVideo::Event::Kind::switchFailed: return "switch failed";
    case ProgramVideo::Event::Kind::onAirSourceFailed: return "on-air source failed";
    case ProgramVideo::Event::Kind::onAirSourceStalled: return "on-air source stalled";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  // Memory that publish attempts and encoders free is given back, not kept in the heap.
  platform::MallocSettings::fix();
  const Options options = parseOptions(argc, argv);
  std::shared_ptr<platform::VirtualRuntime> virtualTime;
  std::shared_ptr<platform::Runtime> runtime;
  if (options.realtime) {
    runtime = std::make_shared<platform::ThreadRuntime>();
  } else {
    virtualTime = platform::VirtualRuntime::make();
    runtime = virtualTime;
  }
  const double t0 = runtime->nowSeconds();
  // Lets time pass until `t` seconds after the start.
  auto runUntil = [&](double t) {
    if (virtualTime) {
      virtualTime->advanceTo(platform::seconds(t0 + t));
      return;
    }
    const double wait = t0 + t - runtime->nowSeconds();
    if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
  };

  StreamConfig config;
  config.resolution = options.resolution;
  auto video = ProgramVideo::make(config, options.framing, options.transition, runtime);

  std::ofstream out(options.out, std::ios::binary | std::ios::trunc);
  if (!out) {
    std::cerr << "programdemo: cannot write " << options.out << "\n";
    return 1;
  }
  int64_t written = 0;
  bool failed = false;
  std::vector<double> pendingSnapshots = options.snapshots;
  video->onOutput = [&](const platform::SampleBufferRef& sample) {
    const double at = runtime->nowSeconds() - t0;
    if (at >= options.seconds || failed) return;
    const auto& image = *sample->imageBuffer();
    if (!writeFrame(out, image)) failed = true;
    ++written;
    for (auto it = pendingSnapshots.begin(); it != pendingSnapshots.end();) {
      if (at < *it) {
        ++it;
        continue;
      }
      char name[256];
      std::snprintf(name, sizeof name, "%s-%.3f.nv12", options.snapshotPrefix.c_str(), *it);
      std::ofstream snap(name, std::ios::binary | std::ios::trunc);
      if (!writeFrame(snap, image)) failed = true;
      std::cout << "snapshot " << name << " at " << at << " s\n";
      it = pendingSnapshots.erase(it);
    }
  };
  video->onEvent = [&](const ProgramVideo::Event& e) {
    std::cout << "event at " << runtime->nowSeconds() - t0 << " s: " << eventName(e.kind) << " " << e.name
              << (e.reason.empty() ? "" : ": " + e.reason) << "\n";
  };

  std::function<void()> finishSound;
  if (!options.wav.empty()) {
    if (programdemo::startProgramSound)
      finishSound = programdemo::startProgramSound(runtime, options.wav);
    else
      std::cerr << "programdemo: this build has no program sound; no WAV written\n";
  }

  video->start();
  video->switchTo(SyntheticVideoSource::make(*SyntheticSources::spec(options.from), runtime));
  if (!options.to.empty() && options.switchAt < options.seconds) {
    runUntil(options.switchAt);
    video->switchTo(SyntheticVideoSource::make(*SyntheticSources::spec(options.to), runtime));
  }
  runUntil(options.seconds);
  video->stop();
  if (virtualTime) virtualTime->runUntilIdle();
  video->queue()->sync([] {});  // the last frames are written
  if (finishSound) finishSound();

  out.close();
  if (failed || !out) {
    std::cerr << "programdemo: writing failed\n";
    return 1;
  }
  const int w = config.width(), h = config.height();
  std::cout << "wrote " << written << " frames of " << w << "x" << h << " NV12 (" << options.seconds << " s at "
            << config.frameRate << " fps) to " << options.out << "\n";
  return 0;
}
