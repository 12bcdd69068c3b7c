// What the host and scripts read beyond what the end-to-end runs show: the
// meter with odd levels, cutting to the terminal's width, and JSON lines that
// stay one line of valid UTF-8 whatever the text.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Quarzadel/Shell/EventsJSON.h"
#include "Quarzadel/Shell/StatusLine.h"

namespace quarzadel {
namespace {

using nlohmann::json;
const platform::Date kStart = platform::makeUtcDate(2026, 12, 7, 1, 0, 0);

TEST(StatusLine, ShowsProblemAndNoticeAndNeverANegativeLiveTime) {
  StudioSnapshot s;
  s.status = StudioEngineStatus::reconnecting(2, "Connection closed");
  s.stats = {2834, 3000, 30, 12, "h264", RTMPPublisherStats::Quality::poor};
  s.camera = "Test Pattern A (720p 60 fps)";
  s.problem = "Quarzadel can't reach the stream server";
  s.notice = StudioSnapshot::Notice{"ID", "Camera disconnected", true, std::string("Switch back")};
  s.muted = true;
  EXPECT_EQ(StatusLine::format(s, kStart),
            "reconnecting #2 | up 2834/3000 kbit/s | 30 fps | 12 KB queued | h264 | poor | [ muted    ] | "
            "Test Pattern A (720p 60 fps) | ! Quarzadel can't reach the stream server | ⚠ Camera disconnected "
            "[a: Switch back]");
  EXPECT_EQ(StatusLine::statusText(StudioEngineStatus::live(kStart), kStart - std::chrono::seconds(5)),
            "LIVE 00:00:00");
}

TEST(StatusLine, MeterClampsOddLevelsAndTheLineIsCutOnCharacters) {
  EXPECT_EQ(StatusLine::meter({0.2f, 0.55f}, false), "[==   |    ]");  // 0.55 rounds to the 6th cell
  EXPECT_EQ(StatusLine::meter({2.0f, -1.0f}, false), "[==========]");
  EXPECT_EQ(StatusLine::meter({NAN, INFINITY}, false), "[          ]");
  EXPECT_EQ(StatusLine::fit("abcdef", 0), "abcdef");
  EXPECT_EQ(StatusLine::fit("ab⚠cd", 3), "ab⚠");  // one column, three bytes
  EXPECT_EQ(StatusLine::fit("ab⚠cd", 2), "ab");
  EXPECT_EQ(StatusLine::redraw("abcdef", 5), "\rabcd\x1b[K");
}

TEST(EventsJSON, EachChangeIsOneStampedLineOfValidText) {
  EXPECT_EQ(EventsJSON::status(StudioEngineStatus::reconnecting(3, "Upload stalled")),
            (json{{"event", "status"}, {"status", "reconnecting"}, {"attempt", 3}, {"reason", "Upload stalled"}}));
  const auto cleared = EventsJSON::notice(std::nullopt);
  EXPECT_TRUE(cleared["text"].is_null());
  EXPECT_TRUE(cleared["action"].is_null());
  EXPECT_EQ(EventsJSON::level({0.12345f, 2.0f / 3}, true),
            (json{{"event", "level"}, {"rms", 0.123}, {"peak", 0.667}, {"muted", true}}));
  const std::string line = EventsJSON::line(EventsJSON::problem(std::string("bad \xff byte\n")), kStart);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  const auto back = json::parse(line);
  EXPECT_DOUBLE_EQ(back["t"].get<double>(), EventsJSON::seconds(kStart));
  EXPECT_EQ(back["text"], "bad \xef\xbf\xbd byte\n");
}

}  // namespace
}  // namespace quarzadel
