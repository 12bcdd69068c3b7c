// The program-sound half of programdemo: the program sound runs with the test
// tone on air on the demo's runtime, and every buffer it hands on goes straight
// into a 48 kHz stereo 32-bit float WAV file. Check it with, for example:
//   sox program.wav -n remix 1 stat
// (1 kHz beeps of amplitude 0.5, 0.1 s at every even second of the host clock).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Quarzadel/Capture/SyntheticToneSource.h"
#include "Quarzadel/Program/ProgramAudio.h"

namespace programdemo {

namespace {

using namespace quarzadel;

constexpr uint16_t kChannels = 2;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kHeaderBytes = 58;  // RIFF + fmt (18) + fact + data headers
// The 32-bit sizes of the format end a little below 4 GiB.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - kHeaderBytes;

void put16(std::ostream& o, uint16_t v) {
  const char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
  o.write(b, 2);
}
void put32(std::ostream& o, uint32_t v) {
  const char b[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                     static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
  o.write(b, 4);
}

// IEEE-float WAV header for `frames` interleaved stereo frames.
void writeHeader(std::ostream& o, uint32_t frames) {
  const uint32_t dataBytes = frames * kChannels * 4;
  o.write("RIFF", 4);
  put32(o, kHeaderBytes - 8 + dataBytes);
  o.write("WAVE", 4);
  o.write("fmt ", 4);
  put32(o, 18);
  put16(o, 3);  // IEEE float
  put16(o, kChannels);
  put32(o, kRate);
  put32(o, kRate * kChannels * 4);
  put16(o, kChannels * 4);
  put16(o, 32);
  put16(o, 0);
  o.write("fact", 4);
  put32(o, 4);
  put32(o, frames);
  o.write("data", 4);
  put32(o, dataBytes);
}

// Everything below is touched on the program sound's queue only, then read after
// the queue has drained.
struct Recording {
  std::ofstream file;
  uint64_t frames = 0;
  float peak = 0;
  bool truncated = false;
  std::vector<ProgramAudio::Event> events;
  std::vector<char> scratch;

  void append(const platform::PCMBuffer& buffer) {
    float* const* ch = buffer.floatChannelData();
    if (ch == nullptr || !file) return;
    uint64_t n = buffer.frameLength();
    const uint64_t room = (kMaxDataBytes - frames * kChannels * 4) / (kChannels * 4);
    if (n > room) {
      n = room;
      truncated = true;
    }
    scratch.resize(n * kChannels * 4);
    char* p = scratch.data();
    for (uint64_t i = 0; i < n; ++i) {
      for (int c = 0; c < kChannels; ++c) {
        const float s = ch[c][i];
        peak = std::max(peak, std::fabs(s));
        uint32_t bits;
        std::memcpy(&bits, &s, 4);
        // Little-endian on disk whatever the host.
        for (int k = 0; k < 4; ++k) *p++ = static_cast<char>((bits >> (8 * k)) & 0xFF);
      }
    }
    file.write(scratch.data(), static_cast<std::streamsize>(scratch.size()));
    frames += n;
  }
};

const char* eventName(ProgramAudio::Event::Kind kind) {
  switch (kind) {
    case ProgramAudio::Event::Kind::onAir: return "on air";
    case ProgramAudio::Event::Kind::switchFailed: return "switch failed";
    case ProgramAudio::Event::Kind::onAirSourceFailed: return "on-air source failed";
    case ProgramAudio::Event::Kind::onAirSourceStalled: return "on-air source stalled";
  }
  return "?";
}

}  // namespace

std::function<void()> startProgramSound(std::shared_ptr<platform::Runtime> runtime, const std::string& wavPath) {
  auto recording = std::make_shared<Recording>();
  recording->file.open(wavPath, std::ios::binary | std::ios::trunc);
  if (!recording->file) {
    std::cerr << "programdemo: cannot write " << wavPath << "\n";
    return [] {};
  }
  writeHeader(recording->file, 0);

  auto audio = ProgramAudio::make(runtime);
  audio->onOutput = [recording](const platform::PCMBufferRef& buffer, const platform::AudioTime&) {
    recording->append(*buffer);
  };
  audio->onEvent = [recording](const ProgramAudio::Event& e) { recording->events.push_back(e); };
  auto tone = std::make_shared<SyntheticToneSource>();
  audio->start();
  audio->switchTo(tone);

  return [audio, recording, wavPath, name = tone->displayName()] {
    audio->stop();
    audio->queue()->sync([] {});  // every buffer handed on is in the file
    auto& file = recording->file;
    file.seekp(0);
    writeHeader(file, static_cast<uint32_t>(recording->frames));
    file.close();
    if (!file) {
      std::cerr << "programdemo: writing " << wavPath << " failed\n";
      return;
    }
    for (const auto& e : recording->events)
      std::cout << "sound event: " << eventName(e.kind) << " " << e.name << (e.reason.empty() ? "" : ": " + e.reason)
                << "\n";
    std::printf("wrote %llu frames (%.3f s) of 48 kHz stereo float program sound from \"%s\" to %s, peak %.3f%s\n",
                static_cast<unsigned long long>(recording->frames), static_cast<double>(recording->frames) / kRate,
                name.c_str(), wavPath.c_str(), recording->peak, recording->truncated ? " (cut at the WAV size limit)" : "");
  };
}

}  // namespace programdemo
