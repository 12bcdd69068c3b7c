// The terminal's input split into keys and focus-in reports: no byte of an
// escape sequence reads as a key, sequences cut across reads still count.
#include "Quarzadel/Shell/TerminalInput.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "Eventually.h"
#include "Quarzadel/Shell/TerminalKeys.h"

namespace quarzadel {
namespace {

struct Split {
  std::string keys;
  int focusIns = 0;
};

Split feed(const std::vector<std::string>& reads) {
  Split out;
  TerminalInput input([&](char k) { out.keys.push_back(k); }, [&] { ++out.focusIns; });
  for (const auto& r : reads) input.feed(r.data(), r.size());
  return out;
}

TEST(TerminalInput, KeysAndFocusReportsAreToldApart) {
  struct Row {
    const char* what;
    std::vector<std::string> reads;
    std::string keys;
    int focusIns;
  };
  const Row rows[] = {
      {"focus in among keys", {"g\x1b[Im"}, "gm", 1},
      {"focus out is no key", {"\x1b[O"}, "", 0},
      // Arrow keys end in A-D: read as keys they would run the notice action,
      // dismiss it or switch the camera on air.
      {"cursor keys", {"\x1b[A\x1b[B\x1b[C\x1b[D"}, "", 0},
      {"keys with modifiers and function keys", {"\x1b[1;5C\x1b[15~\x1bOP\x1bOA"}, "", 0},
      {"a report cut across reads", {"\x1b", "[", "I"}, std::string("\x1b[I"), 0},
      {"a report cut after its introducer", {"\x1b[", "Ic"}, "c", 1},
      {"escape then a key", {"\x1bq"}, "\x1bq", 0},
      {"a broken sequence is dropped up to its break", {"\x1b[1\x01s"}, "s", 0},
  };
  for (const auto& row : rows) {
    const auto got = feed(row.reads);
    EXPECT_EQ(got.keys, row.keys) << row.what;
    EXPECT_EQ(got.focusIns, row.focusIns) << row.what;
  }
}

// What the terminal has been sent so far, waiting up to a second for more.
std::string drain(int master) {
  std::string out;
  char buffer[256];
  for (pollfd p{master, POLLIN, 0}; ::poll(&p, 1, out.empty() ? 1000 : 50) == 1;) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

TEST(TerminalInput, TheKeysTurnFocusReportingOnForTheirLifeAndTellEachFocusIn) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  std::mutex lock;
  std::string keys;
  std::atomic<int> focusIns{0};
  {
    TerminalKeys reader(
        terminal,
        [&](char k) {
          std::lock_guard guard(lock);
          keys.push_back(k);
        },
        [&] { ++focusIns; }, terminal);
    EXPECT_EQ(drain(master), TerminalInput::kFocusReportingOn);
    const std::string typed = "\x1b[Ig\x1b[C";  // as the terminal sends focus-in, g and the right arrow
    ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    ASSERT_TRUE(qztest::eventually([&] {
      std::lock_guard guard(lock);
      return focusIns == 1 && keys == "g";
    }));
  }
  EXPECT_EQ(drain(master), TerminalInput::kFocusReportingOff);
  ::close(terminal);
  ::close(master);
}

}  // namespace
}  // namespace quarzadel
