#pragma once
// The program sound's level for the Studio's meter. Both values are meter
// positions, not amplitudes: 0 at -60 dBFS or below, 1 at 0 dBFS, linear in dB.
namespace quarzadel {

struct AudioLevel {
  float rms = 0;
  float peak = 0;

  friend bool operator==(const AudioLevel&, const AudioLevel&) = default;
};

// Meter position of an amplitude: (20 log10(max(x, 1e-7)) + 60) / 60, clamped to
// 0...1; a non-finite level shows 0.
float meterPosition(float amplitude);

}  // namespace quarzadel
