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
  const auto cleared = EventsJSON::notice(std::nullopt);
  EXPECT_TRUE(cleared["text"].is_null());
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
