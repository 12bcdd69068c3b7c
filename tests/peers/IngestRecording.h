#pragma once
// What an ingest recorded of a live period, as ffprobe reads the file (it
// decodes every picture, independent of our own readers), and the checks that
// every picture the publisher made is accounted for: at the ingest or in the
// publisher's count of dropped ones, at the rate it reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CommandOutput.h"

namespace rtmptest {

struct Recording {
  std::string codec;
  int width = 0, height = 0;
  int64_t pictures = 0;     // decoded
  int64_t packets = 0;
  double declaredRate = 0;  // the rate the encoder gave the stream, as ffprobe reads it
  double rate = 0;          // pictures per second of their times
  double widestGap = 0;     // seconds between two pictures' times
  double widestGapAt = 0;   // the time of the picture before it
  std::vector<double> times;  // of the pictures, in order
  std::string text;           // what ffprobe said of the stream

  // The widest gap after a picture whose time is from `from` to `to` seconds.
  double widestGapBetween(double from, double to) const {
    double widest = 0;
    for (size_t i = 1; i < times.size(); ++i)
      if (times[i - 1] >= from && times[i - 1] <= to) widest = std::max(widest, times[i] - times[i - 1]);
    return widest;
  }
};

inline double fraction(const std::string& text) {
  const auto slash = text.find('/');
  if (slash == std::string::npos) return std::atof(text.c_str());
  const double below = std::atof(text.c_str() + slash + 1);
  return below > 0 ? std::atof(text.c_str()) / below : 0;
}

// Reads `file` once the ingest has stopped writing it: the end of a live
// period reaches the ingest a little after the publisher let go of it.
inline Recording readRecording(const std::filesystem::path& file) {
  std::error_code error;
  auto size = std::filesystem::file_size(file, error);
  for (int unchanged = 0, i = 0; unchanged < 3 && i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto now = std::filesystem::file_size(file, error);
    unchanged = now == size ? unchanged + 1 : 0;
    size = now;
  }
  Recording r;
  const auto out = qztest::runCommand(
      "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
      "stream=codec_name,width,height,avg_frame_rate,nb_read_frames:packet=pts_time -of compact=p=0 '" +
      file.string() + "'");
  std::vector<double> times;
  std::istringstream lines(out.text);
  const std::regex stream(R"(codec_name=(\w+)\|width=(\d+)\|height=(\d+)\|avg_frame_rate=([\d/]+)\|nb_read_frames=(\d+))");
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (line.starts_with("pts_time=")) {
      times.push_back(std::atof(line.c_str() + 9));
    } else if (std::regex_search(line, m, stream)) {
      r.codec = m[1], r.width = std::stoi(m[2]), r.height = std::stoi(m[3]);
      r.declaredRate = fraction(m[4]), r.pictures = std::stoll(m[5]);
      r.text = line;
    } else if (!line.empty()) {
      r.text += "\n" + line;
    }
  }
  std::sort(times.begin(), times.end());
  r.packets = static_cast<int64_t>(times.size());
  for (size_t i = 1; i < times.size(); ++i)
    if (times[i] - times[i - 1] > r.widestGap) r.widestGap = times[i] - times[i - 1], r.widestGapAt = times[i - 1];
  if (times.size() > 1 && times.back() > times.front())
    r.rate = static_cast<double>(times.size() - 1) / (times.back() - times.front());
  r.times = std::move(times);
  return r;
}

// A live period's "Live period's pictures: N made, S sent, D dropped" line.
struct PeriodPictures {
  int64_t made = -1, sent = -1, dropped = -1;
};

inline std::vector<PeriodPictures> periodPictures(const std::string& text) {
  std::vector<PeriodPictures> periods;
  const std::regex line(R"(Live period's pictures: (\d+) made, (\d+) sent, (\d+) dropped)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it)
    periods.push_back({std::stoll((*it)[1]), std::stoll((*it)[2]), std::stoll((*it)[3])});
  return periods;
}

// One report of the publisher's statistics: when it was made (seconds) and
// the pictures it counted since the one before.
struct FpsReport {
  double at = 0;
  int64_t fps = 0;
};

// Every picture the publisher made in one live period (`period`, whose
// statistics reported `fps`) at the ingest or counted as dropped, none more;
// the rate the stream declares is the program's `rate`, and its pictures'
// times run at the rate the statistics reported, less what was dropped.
inline ::testing::AssertionResult everyPictureAccountedFor(const Recording& at, const PeriodPictures& period,
                                                          const std::vector<FpsReport>& fps, double rate) {
  std::ostringstream seen;
  int64_t reported = 0, afterFirst = 0;
  for (const auto& r : fps) reported += r.fps;
  // The first report counts from the gate's opening; the ones after it count
  // the time since the one before, which on a loaded machine is not always a second.
  if (!fps.empty()) afterFirst = reported - fps.front().fps;
  const double span = fps.size() > 1 ? fps.back().at - fps.front().at : 0;
  const double reportedRate = span > 0 ? static_cast<double>(afterFirst) / span : 0;
  seen << period.made << " made, " << period.sent << " sent, " << period.dropped << " dropped; " << at.pictures
       << " pictures in " << at.packets << " packets at the ingest at " << at.rate << " a second, declared "
       << at.declaredRate << "; " << reported << " reported in " << fps.size() << " statistics, " << reportedRate
       << " a second\n" << at.text;
  if (period.made <= 0 || fps.size() < 3) return ::testing::AssertionFailure() << "nothing made or reported: " << seen.str();
  if (at.pictures != period.sent || at.packets != period.sent)
    return ::testing::AssertionFailure() << "the ingest has other pictures than were sent: " << seen.str();
  if (period.sent + period.dropped != period.made)
    return ::testing::AssertionFailure() << "pictures lost unsaid: " << seen.str();
  // The statistics count what the gate passed: all of it but what came
  // after the last report, a second's worth (or two, after a late report).
  if (reported > period.made || static_cast<double>(period.made - reported) > 2 * reportedRate + 2)
    return ::testing::AssertionFailure() << "the statistics did not report what was made: " << seen.str();
  // Declared in whole milliseconds a picture: 1000/33 for 30 a second.
  if (std::fabs(at.declaredRate - rate) > 0.5)
    return ::testing::AssertionFailure() << "the stream declares another rate than the program's: " << seen.str();
  const double sentRate = reportedRate * static_cast<double>(period.sent) / static_cast<double>(period.made);
  if (std::fabs(at.rate - sentRate) > 1.0)
    return ::testing::AssertionFailure() << "the pictures' times run at another rate than reported: " << seen.str();
  return ::testing::AssertionSuccess() << seen.str();
}

}  // namespace rtmptest
