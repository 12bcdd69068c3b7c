// The quarzadel program against an ingest of our own that wants a login
// (user and password in the override URL): with the right password one login
// and one live period with pictures and sound throughout; with a wrong one the
// server's refusal shown, every connection closed, the attempts at the
// backoff's pace.
#include <gtest/gtest.h>

#include <algorithm>

#include "Eventually.h"
#include "ProgramRun.h"
#include "peers/LoginRTMPPeer.h"

namespace quarzadel {
namespace {

using nlohmann::json;
using qztest::ProgramRun;
using rtmptest::LoginRTMPPeer;
using Outcome = LoginRTMPPeer::Outcome;

std::vector<std::string> studio(const std::string& url, const std::string& scenario) {
  return {"-SyntheticSources", "YES", "-SkipPermissionPrompts", "YES",   "-OpenStudio",          "login",
          "-RTMPServerOverride", url, "-StreamCodec",           "h264",  "-StudioResolution",    "720p",
          "-StudioRecordLocally", "NO", "-RecordLocally",       "NO",    "-Events",              "json",
          "-Scenario",           scenario};
}

TEST(LoginProgram, TheRightPasswordGoesLiveOnceWithPicturesAndSoundForTheWholeWindow) {
  LoginRTMPPeer peer("host", "s3cret");
  ProgramRun run(qztest::scratch("login"), studio(peer.url("host:s3cret@"), "golive; wait 4; stop; close"));
  EXPECT_EQ(run.wait(40), 0) << run.errors();
  EXPECT_EQ(run.statuses(), (std::vector<std::string>{"starting", "ready", "connecting", "live", "stopping", "ready"}));

  ASSERT_TRUE(qztest::eventually([&] { return peer.count(Outcome::gone) == 0; }));
  const auto visits = peer.visits();
  ASSERT_EQ(visits.size(), 3u);
  EXPECT_EQ(std::vector<Outcome>({visits[0].outcome, visits[1].outcome, visits[2].outcome}),
            std::vector<Outcome>({Outcome::askedForUser, Outcome::challenged, Outcome::accepted}));
  // Pictures and sound for the whole live period, up to the first key frame's wait.
  const auto& live = visits[2];
  auto reached = [&](const char* status) {
    return run.firstEvent([status](const json& e) { return e["event"] == "status" && e["status"] == status; });
  };
  const double window = reached("stopping") - reached("live");
  const double pictures = LoginRTMPPeer::Visit::span(live.videoArrivals);
  EXPECT_GE(pictures, window - 1.0) << "live for " << window << " s";
  EXPECT_GE(LoginRTMPPeer::Visit::span(live.audioArrivals), window - 1.0) << "live for " << window << " s";
  EXPECT_GE(live.videoArrivals.size() / pictures, 25.0) << live.videoArrivals.size() << " in " << pictures << " s";
  EXPECT_GE(live.audioArrivals.size() / pictures, 40.0) << live.audioArrivals.size() << " sound packets";
  // No credential in the session log.
  EXPECT_EQ(run.sessionLogs().find("s3cret"), std::string::npos);
}

TEST(LoginProgram, AWrongPasswordShowsTheRefusalClosesEachConnectionAndRetriesAtTheBackoffsPace) {
  LoginRTMPPeer peer("host", "s3cret");
  ProgramRun run(qztest::scratch("login-refused"), studio(peer.url("host:wrong@"), "golive; wait 5; close"));
  // Closed without ever going live.
  EXPECT_EQ(run.wait(40), 3) << run.errors();
  const auto statuses = run.statuses();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "live"), 0);
  const double problem = run.firstEvent([](const json& e) {
    return e["event"] == "problem" && e["text"].is_string() &&
           e["text"].get<std::string>().find("(" "[ AccessManager.Reject ] : [ authmod=adobe ] : ?reason=authfailed") !=
               std::string::npos;
  });
  EXPECT_GE(problem, 0) << "no refusal shown";

  ASSERT_TRUE(qztest::eventually([&] { return peer.count(Outcome::gone) == 0; }));
  const auto visits = peer.visits();
  ASSERT_EQ(visits.size() % 3, 0u);
  ASSERT_GE(visits.size(), 9u);
  // One login per attempt, each refused at its answer and failing the attempt
  // with the server's reason; every connection closed at once.
  EXPECT_EQ(peer.count(Outcome::refusedResponse), static_cast<int>(visits.size() / 3));
  const std::string log = run.sessionLogs();
  size_t failures = 0;
  for (size_t at = 0; (at = log.find("] Publish attempt ", at)) != std::string::npos; ++at, ++failures)
  {
    const std::string refusal = " s: [ AccessManager.Reject ] : [ authmod=adobe ] : ?reason=authfailed";
    EXPECT_EQ(log.substr(log.find(" s: ", at), refusal.size()), refusal);
  }
  EXPECT_EQ(failures, visits.size() / 3) << log;
  for (const auto& v : visits) {
    EXPECT_GE(v.closedAt, 0);
    EXPECT_LT(v.closedAt - v.at, 1.0);
  }
  const double backoff[] = {0.5, 1.0, 2.0, 3.0};
  for (size_t a = 1; a < visits.size() / 3; ++a)
    EXPECT_GE(visits[3 * a].at - visits[3 * a - 1].closedAt, backoff[std::min<size_t>(a - 1, 3)] - 0.05) << a;
}

}  // namespace
}  // namespace quarzadel
