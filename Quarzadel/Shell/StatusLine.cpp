#include "Quarzadel/Shell/StatusLine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace quarzadel {

namespace {

const char* qualityName(RTMPPublisherStats::Quality q) {
  switch (q) {
    case RTMPPublisherStats::Quality::good:
      return "good";
    case RTMPPublisherStats::Quality::fair:
      return "fair";
    case RTMPPublisherStats::Quality::poor:
      return "poor";
  }
  return "?";
}

bool isUtf8Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::string StatusLine::statusText(const StudioEngineStatus& status, platform::Date now) {
  if (const auto* live = std::get_if<StudioEngineStatus::Live>(&status.value)) {
    const auto elapsed = std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::seconds>(now - live->since).count());
    char text[32];
    std::snprintf(text, sizeof text, "LIVE %02lld:%02lld:%02lld", static_cast<long long>(elapsed / 3600),
                  static_cast<long long>(elapsed / 60 % 60), static_cast<long long>(elapsed % 60));
    return text;
  }
  if (const auto* again = std::get_if<StudioEngineStatus::Reconnecting>(&status.value))
    return "reconnecting #" + std::to_string(again->attempt);
  return std::string(status.name());
}

std::string StatusLine::meter(const AudioLevel& level, bool muted) {
  if (muted) return "[ muted" + std::string(kMeterWidth - 6, ' ') + "]";
  const auto cells = [](float position) {
    if (!std::isfinite(position)) return 0;
    return static_cast<int>(std::lround(std::clamp(position, 0.0f, 1.0f) * kMeterWidth));
  };
  std::string bar(kMeterWidth, ' ');
  std::fill_n(bar.begin(), cells(level.rms), '=');
  if (int peak = cells(level.peak); peak > 0) bar[peak - 1] = '|';
  return "[" + bar + "]";
}

std::string StatusLine::format(const StudioSnapshot& s, platform::Date now) {
  std::string line = statusText(s.status, now);
  // Statistics once the publisher has reported some.
  if ((s.status.isLive() || s.status.isReconnecting()) && !s.stats.codec.empty()) {
    char stats[160];
    std::snprintf(stats, sizeof stats, " | up %lld/%lld kbit/s | %lld fps | %lld KB queued | %s | %s",
                  static_cast<long long>(s.stats.uploadKbps), static_cast<long long>(s.stats.targetKbps),
                  static_cast<long long>(s.stats.fps), static_cast<long long>(s.stats.queuedKB),
                  s.stats.codec.empty() ? "-" : s.stats.codec.c_str(), qualityName(s.stats.quality));
    line += stats;
  }
  line += " | " + meter(s.level, s.muted);
  if (s.camera) line += " | " + *s.camera;
  if (s.problem) line += " | ! " + *s.problem;
  if (s.notice) {
    line += std::string(" | ") + (s.notice->warning ? "⚠ " : "i ") + s.notice->text;
    if (s.notice->actionTitle) line += " [a: " + *s.notice->actionTitle + "]";
  }
  return line;
}

std::string StatusLine::help() {
  return "keys: g go live | s stop | c next camera | m mute | d dismiss | a notice action | x share screen | q quit | h help";
}

std::string StatusLine::fit(const std::string& line, int columns) {
  if (columns <= 0) return line;
  int used = 0;
  size_t i = 0;
  while (i < line.size()) {
    size_t next = i + 1;
    while (next < line.size() && isUtf8Continuation(static_cast<unsigned char>(line[next]))) ++next;
    if (used + 1 > columns) break;
    ++used;
    i = next;
  }
  return line.substr(0, i);
}

std::string StatusLine::redraw(const std::string& line, int columns) {
  // One column short of the width: a full last column would wrap on some terminals.
  return "\r" + fit(line, columns > 1 ? columns - 1 : columns) + "\x1b[K";
}

}  // namespace quarzadel
