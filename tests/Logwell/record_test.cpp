#include <gtest/gtest.h>

#include <chrono>

#include "Logwell/LWLogRecord.h"
#include "Logwell/LWLogger.h"
#include "Logwell/SocketAppender.h"
#include "Platform/Time/Date.h"

namespace logwell {
namespace {

// The shared formatter in UTC for the duration of a test, so goldens hold in any zone.
class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = LWLogRecord::dateFormatter();
    LWLogRecord::setDateFormatter(std::make_shared<LWDateFormatter>("yyyy-dd-MM HH:mm:ss.SSS", true));
  }
  void TearDown() override { LWLogRecord::setDateFormatter(saved_); }
  std::shared_ptr<const LWDateFormatter> saved_;
};

const platform::Date kDecember5 = platform::makeUtcDate(2026, 12, 5, 15, 30, 38, 123);

TEST_F(RecordTest, DescriptionPutsDayBeforeMonthAndShortensTheFile) {
  LWLogRecord record{kDecember5, LWLogLevel::warn, "quarzadel.RTMPMedley", "/src/lib/RTMPConnection.cpp", 12,
                     "connect()", "refused"};
  EXPECT_EQ(record.description(),
            "2026-05-12 15:30:38.123 [Warn] [quarzadel.RTMPMedley] [RTMPConnection.cpp:12] connect() > refused");
}

TEST_F(RecordTest, ParseReadsSevenTabSeparatedFields) {
  auto r = LWLogRecord::parse("2026-05-12 15:30:38.123\tInfo\tid\t/a/b.cpp\t-12\tfn()\thello");
  ASSERT_TRUE(r);
  EXPECT_EQ(std::tie(r->date, r->level, r->identifier, r->file, r->line, r->function, r->message),
            std::make_tuple(kDecember5, LWLogLevel::info, "id", "/a/b.cpp", -12, "fn()", "hello"));
}

TEST_F(RecordTest, ParseIsForgivingInsideFieldsButNeedsSevenOfThem) {
  // Lower-case level name: not a level, so trace; a line with a letter: 0.
  auto record = LWLogRecord::parse("2026-05-12 15:30:38.123\tinfo\tid\tf\t12a\tfn\tm");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->level, LWLogLevel::trace);
  EXPECT_EQ(record->line, 0);
  // Overflowing and sign-only lines are 0 too; the extreme value still fits.
  EXPECT_EQ(LWLogRecord::parse("d\tInfo\ti\tf\t99999999999999999999\tfn\tm")->line, 0);
  EXPECT_EQ(LWLogRecord::parse("d\tInfo\ti\tf\t+\tfn\tm")->line, 0);
  EXPECT_EQ(LWLogRecord::parse("d\tInfo\ti\tf\t-9223372036854775808\tfn\tm")->line, INT64_MIN);
  // An unreadable date is taken as now.
  auto before = std::chrono::system_clock::now();
  auto undated = LWLogRecord::parse("yesterday\tInfo\ti\tf\t1\tfn\tm");
  ASSERT_TRUE(undated);
  EXPECT_GE(undated->date, before - std::chrono::seconds(1));
  // Nine pieces: the message is pieces 7 to 9 joined by tabs, with its record end.
  auto nine = LWLogRecord::parse("d\tInfo\ti\tf\t1\tfn\ta\tb\tc\r\n\r\n");
  ASSERT_TRUE(nine);
  EXPECT_EQ(nine->message, "a\tb\tc\r\n\r\n");
  // Runs of tabs count as one, leading and trailing tabs are ignored.
  auto sparse = LWLogRecord::parse("\t\td\t\tInfo\ti\tf\t1\tfn\tm\t\t");
  ASSERT_TRUE(sparse);
  EXPECT_EQ(sparse->message, "m");
  EXPECT_FALSE(LWLogRecord::parse("d\tInfo\ti\tf\t1\tfn"));
  EXPECT_FALSE(LWLogRecord::parse("d\tInfo\ti\tf\t1\tfn\t\t"));
}

TEST_F(RecordTest, ParseRejectsBytesThatAreNotUTF8) {
  // Stray byte, overlong "/", surrogate, cut short.
  for (const char* bad : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xe2\x82"})
    EXPECT_FALSE(LWLogRecord::parse(std::string("d\tInfo\ti\tf\t1\tfn\t") + bad));
  EXPECT_TRUE(LWLogRecord::parse("d\tInfo\ti\tf\t1\tfn\tcaf\xc3\xa9 \xe2\x86\x92 \xf0\x9f\x8e\xa5"));
}

TEST_F(RecordTest, SocketRecordRoundTripsThroughTheParse) {
  LWLogger logger("quarzadel.Medley");
  std::string wire = SocketAppender::record(logger, LWLogLevel::error, "queue full: 3 KB", "/src/Medley/Codec.cpp",
                                            "encode(_:)", 88);
  ASSERT_GE(wire.size(), 4u);
  EXPECT_EQ(wire.substr(wire.size() - 4), "\r\n\r\n");
  auto r = LWLogRecord::parse(wire.substr(0, wire.size() - 4));
  ASSERT_TRUE(r);  // the whole file path travels
  EXPECT_EQ(std::tie(r->level, r->identifier, r->file, r->line, r->function, r->message),
            std::make_tuple(LWLogLevel::error, "quarzadel.Medley", "/src/Medley/Codec.cpp", 88, "encode(_:)",
                            "queue full: 3 KB"));
  EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - r->date), std::chrono::seconds(5));
}

TEST_F(RecordTest, SocketRecordRepairsTextThatIsNotUTF8) {
  LWLogger logger("id");
  std::string wire = SocketAppender::record(logger, LWLogLevel::info, "bad \xff byte", "f", "fn", 1);
  EXPECT_TRUE(isValidUTF8(wire));
  EXPECT_NE(wire.find("bad \xEF\xBF\xBD byte"), std::string::npos);
}

TEST_F(RecordTest, DateFormatterRejectsTextsThatAreNotItsPattern) {
  auto formatter = LWLogRecord::dateFormatter();
  EXPECT_EQ(formatter->format(kDecember5), "2026-05-12 15:30:38.123");
  EXPECT_EQ(formatter->parse("2026-05-12 15:30:38.123"), kDecember5);
  // Month 13, 31 February, no milliseconds, trailing blank, hour 25.
  for (const char* bad : {"2026-05-13 15:30:38.123", "2026-31-02 15:30:38.123", "2026-05-12 15:30:38",
                          "2026-05-12 15:30:38.123 ", "2026-05-12 25:30:38.123"})
    EXPECT_FALSE(formatter->parse(bad)) << bad;
}

}  // namespace
}  // namespace logwell
