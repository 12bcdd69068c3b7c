// What the host and scripts read: the terminal's status line (its fields, the
// meter, cutting to the width for redrawing in place) and the JSON events.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Quarzadel/Shell/EventsJSON.h"
#include "Quarzadel/Shell/StatusLine.h"

namespace quarzadel {
namespace {

using nlohmann::json;
const platform::Date kStart = platform::makeUtcDate(2026, 12, 7, 1, 0, 0);

StudioSnapshot liveSnapshot() {
  StudioSnapshot s;
  s.status = StudioEngineStatus::live(kStart);
  s.stats = {2834, 3000, 30, 12, "h264", RTMPPublisherStats::Quality::good};
  s.level = {0.5f, 0.8f};
  s.camera = "Test Pattern A (720p 60 fps)";
  return s;
}

TEST(StatusLine, ShowsTheLiveStatisticsMeterCameraProblemAndNotice) {
  auto s = liveSnapshot();
  EXPECT_EQ(StatusLine::format(s, kStart + std::chrono::seconds(3723)),
            "LIVE 01:02:03 | up 2834/3000 kbit/s | 30 fps | 12 KB queued | h264 | good | [=====  |  ] | "
            "Test Pattern A (720p 60 fps)");
  s.status = StudioEngineStatus::reconnecting(2, "Connection closed");
  s.stats.quality = RTMPPublisherStats::Quality::poor;
  s.problem = "Quarzadel can't reach the stream server";
  s.notice = StudioSnapshot::Notice{"ID", "Camera disconnected", true, std::string("Switch back")};
  s.muted = true;
  EXPECT_EQ(StatusLine::format(s, kStart),
            "reconnecting #2 | up 2834/3000 kbit/s | 30 fps | 12 KB queued | h264 | poor | [ muted    ] | "
            "Test Pattern A (720p 60 fps) | ! Quarzadel can't reach the stream server | ⚠ Camera disconnected "
            "[a: Switch back]");
  // No statistics while not publishing; a clock behind the live date shows zero.
  StudioSnapshot ready;
  ready.status = StudioEngineStatus::ready();
  ready.notice = StudioSnapshot::Notice{"ID", "Saved", false, std::nullopt};
  EXPECT_EQ(StatusLine::format(ready, kStart), "ready | [          ] | i Saved");
  EXPECT_EQ(StatusLine::statusText(StudioEngineStatus::live(kStart), kStart - std::chrono::seconds(5)),
            "LIVE 00:00:00");
  EXPECT_EQ(StatusLine::statusText(StudioEngineStatus::stopping(), kStart), "stopping");
}

TEST(StatusLine, MeterFillsTheRmsMarksThePeakAndClampsOddLevels) {
  EXPECT_EQ(StatusLine::meter({0, 0}, false), "[          ]");
  EXPECT_EQ(StatusLine::meter({1, 1}, false), "[=========|]");
  EXPECT_EQ(StatusLine::meter({0.2f, 0.55f}, false), "[==   |    ]");  // 0.55 rounds to the 6th cell
  EXPECT_EQ(StatusLine::meter({2.0f, -1.0f}, false), "[==========]");
  EXPECT_EQ(StatusLine::meter({NAN, INFINITY}, false), "[          ]");
  EXPECT_EQ(StatusLine::meter({1, 1}, true), "[ muted    ]");
}

TEST(StatusLine, FitsTheTerminalWidthWithoutSplittingCharactersAndRedrawsInPlace) {
  EXPECT_EQ(StatusLine::fit("abcdef", 4), "abcd");
  EXPECT_EQ(StatusLine::fit("abcdef", 0), "abcdef");
  EXPECT_EQ(StatusLine::fit("ab⚠cd", 3), "ab⚠");  // one column, three bytes
  EXPECT_EQ(StatusLine::fit("ab⚠cd", 2), "ab");
  EXPECT_EQ(StatusLine::redraw("abcdef", 5), "\rabcd\x1b[K");
  EXPECT_NE(StatusLine::help().find("q quit"), std::string::npos);
}

TEST(EventsJSON, EncodesEachPublishedChangeAsOneLine) {
  EXPECT_EQ(EventsJSON::status(StudioEngineStatus::ready()), (json{{"event", "status"}, {"status", "ready"}}));
  const auto live = EventsJSON::status(StudioEngineStatus::live(kStart));
  EXPECT_EQ(live["status"], "live");
  EXPECT_DOUBLE_EQ(live["since"].get<double>(), EventsJSON::seconds(kStart));
  EXPECT_EQ(EventsJSON::status(StudioEngineStatus::reconnecting(3, "Upload stalled")),
            (json{{"event", "status"}, {"status", "reconnecting"}, {"attempt", 3}, {"reason", "Upload stalled"}}));
  EXPECT_EQ(EventsJSON::stats(liveSnapshot().stats),
            (json{{"event", "stats"}, {"uploadKbps", 2834}, {"targetKbps", 3000}, {"fps", 30}, {"queuedKB", 12},
                  {"codec", "h264"}, {"quality", "good"}}));
  EXPECT_EQ(EventsJSON::notice(StudioSnapshot::Notice{"N1", "Camera lost", true, std::string("Undo")}),
            (json{{"event", "notice"}, {"id", "N1"}, {"text", "Camera lost"}, {"kind", "warning"}, {"action", "Undo"}}));
  const auto cleared = EventsJSON::notice(std::nullopt);
  EXPECT_TRUE(cleared["text"].is_null());
  EXPECT_TRUE(cleared["action"].is_null());
  EXPECT_TRUE(EventsJSON::problem(std::nullopt)["text"].is_null());
  EXPECT_EQ(EventsJSON::problem("gone")["text"], "gone");
  EXPECT_EQ(EventsJSON::level({0.12345f, 2.0f / 3}, true),
            (json{{"event", "level"}, {"rms", 0.123}, {"peak", 0.667}, {"muted", true}}));
  EXPECT_EQ(EventsJSON::closed(true), (json{{"event", "closed"}, {"wentLive", true}}));

  // One line each, stamped, even with text that is not UTF-8.
  const std::string line = EventsJSON::line(EventsJSON::problem(std::string("bad \xff byte")), kStart);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  const auto back = json::parse(line);
  EXPECT_DOUBLE_EQ(back["t"].get<double>(), EventsJSON::seconds(kStart));
  EXPECT_EQ(back["text"], "bad \xef\xbf\xbd byte");
}

}  // namespace
}  // namespace quarzadel
