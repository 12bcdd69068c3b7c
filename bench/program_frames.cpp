// Writes the pictures of the go-live's program (tools/rtmpsmoke --source
// program) as raw NV12 frames, packed, to standard output: one synthetic camera
// on air, the dissolve to another as the program picture makes it (the new
// camera's first frame 0.4 s after the switch, on air 0.5 s later, 0.35 s of
// dissolve), 30 frames a second. A reference encoder fed these frames encodes
// the same pictures as the program does.
//   program_frames [--resolution 720p|1080p] [--seconds 10] [--from synthetic-a] [--to synthetic-b] [--switch-at 3]
//                  [--framing automatic|fill|fit]
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Program/ProgramRenderer.h"

namespace {

using namespace quarzadel;

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: program_frames [--resolution 720p|1080p] [--seconds S] [--from ID] [--to ID] [--switch-at S]"
               " [--framing automatic|fill|fit]\n");
  std::exit(2);
}

bool writeAll(const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The newest frame of a camera at host time t: the last slot of its grid.
platform::PixelBufferRef newest(SyntheticVideoSource& camera, double t) {
  const double interval = 1.0 / camera.spec().fps;
  return camera.render(std::floor(t / interval + 1e-9) * interval);
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  StreamConfig config;
  config.resolution = StreamConfig::Resolution::hd720;
  double seconds = 10, switchAt = 3;
  std::string from = "synthetic-a", to = "synthetic-b";
  Framing framing = Framing::automatic;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) usage();
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--resolution") {
      const auto r = fromRawValue<StreamConfig::Resolution>(value);
      if (!r) usage();
      config.resolution = *r;
    } else if (key == "--seconds") {
      seconds = std::atof(value.c_str());
    } else if (key == "--switch-at") {
      switchAt = std::atof(value.c_str());
    } else if (key == "--framing") {
      const auto f = fromRawValue<Framing>(value);
      if (!f) usage();
      framing = *f;
    } else if (key == "--from") {
      from = value;
    } else if (key == "--to") {
      to = value;
    } else {
      usage();
    }
  }
  const auto fromSpec = SyntheticSources::spec(from), toSpec = SyntheticSources::spec(to);
  if (!fromSpec || !toSpec || !(seconds > 0)) usage();

  auto runtime = platform::VirtualRuntime::make();
  auto first = SyntheticVideoSource::make(*fromSpec, runtime, nullptr);
  auto second = SyntheticVideoSource::make(*toSpec, runtime, nullptr);
  ProgramRenderer renderer(config, framing);
  const double origin = 1000;  // host seconds of the first frame
  const double onAir = switchAt + SyntheticVideoSource::kFirstFire + 0.5;
  const double frameRate = config.frameRate;
  const auto frames = static_cast<int64_t>(std::llround(seconds * frameRate));
  for (int64_t i = 0; i < frames; ++i) {
    const double at = static_cast<double>(i) / frameRate, t = origin + at;
    platform::PixelBufferRef out;
    if (at < onAir) {
      out = renderer.compose(newest(*first, t), false, nullptr, false, 0);
    } else if (at < onAir + ProgramRenderer::kDissolveSeconds) {
      out = renderer.compose(newest(*second, t), false, newest(*first, t), false,
                             (at - onAir) / ProgramRenderer::kDissolveSeconds);
    } else {
      out = renderer.compose(newest(*second, t), false, nullptr, false, 0);
    }
    if (!out) return 1;
    const auto luma = out->plane(0), chroma = out->plane(1);
    for (int row = 0; row < luma.height; ++row)
      if (!writeAll(luma.data + row * luma.bytesPerRow, static_cast<size_t>(out->width()))) return 1;
    for (int row = 0; row < chroma.height; ++row)
      if (!writeAll(chroma.data + row * chroma.bytesPerRow, static_cast<size_t>(out->width()))) return 1;
  }
  return 0;
}
