// The quarzadel program end to end against a loopback nginx (and stunnel for
// RTMPS): the scenario's go-live with a camera unplugged while live, seen in
// the JSON events, at the ingest (ffprobe) and in the session log; interrupts
// while live; bad input refused; the session log's upload waited for at the end
// or abandoned by an interrupt; nginx stopped by a signal while live, called a
// stall within seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <iomanip>
#include <regex>
#include <sstream>

#include "SanitizedBuild.h"
#include "CommandOutput.h"
#include "Platform/Net/TestCertificates.h"
#include "ProgramRun.h"
#include "peers/IngestRecording.h"
#include "peers/PeerProcess.h"

namespace quarzadel {
namespace {

using nlohmann::json;
using qztest::ProgramRun;

std::vector<std::string> studio(const std::string& url, const std::string& key, const std::string& scenario) {
  return {"-SyntheticSources", "YES",      "-SkipPermissionPrompts", "YES",        "-OpenStudio", key,
          "-OpenStudioTitle",  "Smoke",    "-RTMPServerOverride",    url,          "-StreamCodec", "h264",
          "-StudioResolution", "720p",     "-StudioRecordLocally",   "NO",         "-RecordLocally", "NO",
          "-Events",           "json",     "-Scenario",              scenario};
}

bool isLive(const json& e) { return e["event"] == "status" && e["status"] == "live"; }

// Six seconds of the live stream as ffprobe reads it: its streams. A player
// that joins gets sound at once but pictures only from the next key frame, up
// to two seconds later.
std::string probeLive(const std::string& url) {
  return qztest::runCommand("timeout 20 ffprobe -v error -analyzeduration 3000000 -read_intervals %+6 -show_entries "
                            "stream=codec_name,width,height,sample_rate,channels -of compact=p=0 '" + url + "'")
      .text;
}

// The program's pictures as the statistics report them while live (the
// zeroed statistics of the stop excluded).
std::vector<rtmptest::FpsReport> reportedFps(const std::vector<std::pair<double, json>>& events) {
  std::vector<rtmptest::FpsReport> fps;
  for (const auto& [at, e] : events)
    if (e["event"] == "stats" && e["codec"] != "") fps.push_back({e["t"].get<double>(), e["fps"].get<int64_t>()});
  return fps;
}

// Over loopback nothing congests: the rate is never lowered for the network.
bool congested(const std::string& log) {
  return log.find("] Uplink congested: ") != std::string::npos || log.find("] Upload falling behind: ") != std::string::npos;
}

// The recording the ingest made of a live period (`at`): every one of its
// pictures made by the program, and every picture made there or counted as dropped.
void expectEveryPictureAtTheIngest(const rtmptest::Recording& at, const std::string& log,
                                   const std::vector<std::pair<double, json>>& events) {
  EXPECT_EQ(at.codec + " " + std::to_string(at.width) + "x" + std::to_string(at.height), "h264 1280x720") << at.text;
  const auto periods = rtmptest::periodPictures(log);
  ASSERT_EQ(periods.size(), 1u) << log;
  EXPECT_TRUE(rtmptest::everyPictureAccountedFor(at, periods.front(), reportedFps(events), 30));
  EXPECT_FALSE(congested(log)) << log;
}

// One live period with a camera unplugged half-way: the failover notice, another
// camera on air and no gap at the ingest.
TEST(QuarzadelProgram, GoesLiveWithTheScenarioAndShowsItInEventsAtTheIngestAndInTheSessionLog) {
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("shell-nginx"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live";
  ProgramRun run(qztest::scratch("golive"), studio(url, "smoke", "golive; wait 18; unplug; wait 9; stop; close"));
  run.sleepUntil(8);
  const std::string probe = probeLive(url + "/smoke");
  EXPECT_EQ(run.wait(60), 0) << run.errors();
  EXPECT_EQ(run.statuses(), (std::vector<std::string>{"starting", "ready", "connecting", "live", "stopping", "ready"}));
  EXPECT_NE(probe.find("codec_name=h264|width=1280|height=720"), std::string::npos) << probe.substr(0, 600);
  EXPECT_NE(probe.find("codec_name=aac|sample_rate=48000|channels=2"), std::string::npos) << probe.substr(0, 600);

  const auto events = run.events();
  const double unplugged = run.firstEvent([](const json& e) { return e["event"] == "notice" && e["text"].is_string(); });
  EXPECT_GE(unplugged, 0) << "no failover notice";
  int poor = 0;
  double loudest = 0;
  std::vector<std::string> cameras;
  for (const auto& [at, e] : events) {
    if (e["event"] == "stats" && e["codec"] != "" && e["quality"] != "good" && at < unplugged) ++poor;
    if (e["event"] == "level") loudest = std::max(loudest, e["rms"].get<double>());
    if (e["event"] == "camera" && e["id"].is_string()) cameras.push_back(e["id"]);
  }
  EXPECT_GE(reportedFps(events).size(), 15u);
  EXPECT_EQ(poor, 0);
  EXPECT_GT(loudest, 0.5) << "the test tone is not on air";
  // A synthetic camera on air, then another one after the unplug.
  ASSERT_GE(cameras.size(), 2u);
  EXPECT_TRUE(cameras.front().starts_with("synthetic-")) << cameras.front();
  EXPECT_NE(cameras.back(), cameras.front());
  EXPECT_EQ(events.back().second["event"], "closed");
  EXPECT_EQ(events.back().second["wentLive"], true);

  // No gap at the ingest across the unplug: the program holds the last
  // picture until the next camera's come, and fills the slots of up to a
  // second. (The stream's times begin about when it went live.) Elsewhere a
  // gap is the machine's load keeping the program from the processor for
  // longer than that, when it goes on from the present rather than sending
  // stale pictures in a burst; those it made are all accounted for below.
  const std::string log = run.sessionLogs();
  const auto at = rtmptest::readRecording(std::filesystem::path(nginx.value("RECORD_DIR")) / "smoke.flv");
  EXPECT_GT(at.pictures, 300) << at.text;
  const double unpluggedAt = unplugged - run.firstEvent(isLive);
  EXPECT_LE(at.widestGapBetween(unpluggedAt - 1, unpluggedAt + 3), 1.0)
      << "unplugged at " << unpluggedAt << " s of the stream; widest gap " << at.widestGap << " s after "
      << at.widestGapAt << " s";
  expectEveryPictureAtTheIngest(at, log, events);

  for (const std::string& line : std::vector<std::string>{"[StudioEngine] Studio opened for \"Smoke\" (test)",
                                 "] Publish requested: " + url + "/smoke 1280x720@30", "] Publishing (attempt 1, ",
                                 "] Publish stopped by user", "[StudioEngine] Studio closed",
                                 "[ScenarioRunner] Scenario: 4 steps, t0 host="})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

// Also: the first interrupt while live only asks; the second stops and closes within the bound.
TEST(QuarzadelProgram, GoesLiveOverRtmpsThroughStunnel) {
  const auto& certs = platform::testing::TestCertificates::shared();
  ASSERT_TRUE(certs.ok);
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("shell-nginx-tls"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  rtmptest::PeerProcess stunnel("stunnel.sh", rtmptest::peerDirectory("shell-stunnel"),
                                {std::to_string(nginx.port()), certs.serverCert.string(), certs.serverKey.string()});
  ASSERT_TRUE(stunnel.ok()) << stunnel.output();
  const std::string url = "rtmps://localhost:" + std::to_string(stunnel.port()) + "/live";
  ProgramRun run(qztest::scratch("golive-tls"), studio(url, "secure", "golive"),
                 {{"SSL_CERT_FILE", certs.caFile.string()}});
  ASSERT_TRUE(run.awaitEvent(isLive, 15) >= 0) << run.errors();
  const std::string probe = probeLive("rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live/secure");
  // Five seconds' statistics at least, for the rate they report.
  double wentLive = 0;
  for (const auto& [at, e] : run.events())
    if (isLive(e)) wentLive = e["t"].get<double>();
  EXPECT_GE(run.awaitEvent([&](const json& e) { return e["event"] == "stats" && e["t"].get<double>() > wentLive + 5; }, 20),
            0);
  run.signal(SIGINT);
  const std::string asked = "interrupt again to stop the stream and quit";
  for (const double until = run.seconds() + 10; run.errors().find(asked) == std::string::npos && run.seconds() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(run.errors().find(asked), std::string::npos) << run.errors();
  EXPECT_EQ(run.statuses().back(), "live");
  const double confirmedAt = run.seconds();
  run.signal(SIGINT);
  EXPECT_EQ(run.wait(20), 0) << run.errors();
  EXPECT_LT(run.endedAt() - confirmedAt, 3.3);
  EXPECT_EQ(run.statuses(), (std::vector<std::string>{"starting", "ready", "connecting", "live", "stopping", "ready"}));
  EXPECT_NE(probe.find("codec_name=h264|width=1280|height=720"), std::string::npos) << probe.substr(0, 600);
  EXPECT_NE(probe.find("codec_name=aac|sample_rate=48000|channels=2"), std::string::npos) << probe.substr(0, 600);
  const std::string log = run.sessionLogs();
  expectEveryPictureAtTheIngest(rtmptest::readRecording(std::filesystem::path(nginx.value("RECORD_DIR")) / "secure.flv"),
                                log, run.events());
  EXPECT_NE(log.find("] Publish requested: " + url + "/secure"), std::string::npos) << log;
  EXPECT_NE(log.find("Publish stopped by user"), std::string::npos) << log;
  EXPECT_NE(log.find("Studio closed"), std::string::npos) << log;
}

TEST(QuarzadelProgram, RefusesBadInputWithAClearErrorAndANonZeroExit) {
  struct Case {
    std::vector<std::string> arguments;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"-OpenStudio", "k", "-Scenario", "golive; wait 2\nfly"}, "quarzadel: Scenario line 2, position 1: unknown action \"fly\""},
      {{"-StudioResolution", "720p"}, "quarzadel: nothing to open: give -OpenStudio STREAM_KEY"},
      // An unquoted script and a last key without its value (which would record a copy) are not guessed at.
      {{"-OpenStudio", "k", "-Scenario", "golive", "close"}, "quarzadel: \"close\" is no -Key value pair"},
      {{"-OpenStudio", "k", "-SyntheticSources", "YES", "-StudioRecordLocally"},
       "quarzadel: -StudioRecordLocally has no value: give it as -StudioRecordLocally VALUE"},
      {{"-OpenStudio", "k", "-SyntheticSources", "YES", "--StudioRecordLocally"},
       "quarzadel: \"--StudioRecordLocally\" is no -Key value pair: a default takes one dash"},
      // A live date the clock cannot hold.
      {{"-OpenStudio", "k", "-DemoLiveElapsed", "nan"}, "quarzadel: unknown value \"nan\" for DemoLiveElapsed: use a number"},
      {{"-OpenStudio", "k", "-DemoLiveElapsed", "1e300"},
       "quarzadel: unknown value \"1e300\" for DemoLiveElapsed: use a number of seconds within a hundred years"},
  };
  for (const auto& c : cases) {
    ProgramRun run(qztest::scratch("refused"), c.arguments);
    EXPECT_EQ(run.wait(20), 2) << c.error;
    EXPECT_NE(run.errors().find(c.error), std::string::npos) << run.errors();
    EXPECT_TRUE(run.lines().empty());
  }
}

TEST(QuarzadelProgram, AScriptedGoLiveThatNeverGetsLiveEndsWithAFailure) {
  // Nothing listens on the port: the ingest refuses every attempt.
  const std::string port = qztest::runCommand(
      "python3 -c 'import socket; s = socket.socket(); s.bind((\"127.0.0.1\", 0)); print(s.getsockname()[1])'").text;
  ProgramRun run(qztest::scratch("refusing"),
                 studio("rtmp://127.0.0.1:" + port.substr(0, port.find('\n')) + "/live", "nobody", "golive; wait 3; close"));
  EXPECT_EQ(run.wait(30), 3);
  EXPECT_NE(run.errors().find("The Studio never went live."), std::string::npos) << run.errors();
  const auto s = run.statuses();
  EXPECT_EQ(std::count(s.begin(), s.end(), "live"), 0);
}

TEST(QuarzadelProgram, QuittingWaitsForTheClosedStudiosLogToReachTheStore) {
  // A log store that takes its time to answer.
  const auto dir = qztest::scratch("upload");
  std::filesystem::create_directories(dir / "store");
  std::ofstream(dir / "store.py") << R"(import http.server, os, sys, time
store = sys.argv[2]
class Store(http.server.BaseHTTPRequestHandler):
    def do_PUT(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        time.sleep(1.5)
        with open(os.path.join(store, 'received.log'), 'wb') as f:
            f.write(body)
        with open(os.path.join(store, 'key'), 'w') as f:
            f.write(self.headers.get('AccessKey', ''))
        self.send_response(201)
        self.send_header('Content-Length', '0')
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Store)
with open(sys.argv[1] + '.tmp', 'w') as f:
    f.write(str(server.server_address[1]))
os.rename(sys.argv[1] + '.tmp', sys.argv[1])
server.serve_forever()
)";
  const auto portFile = dir / "port";
  ASSERT_EQ(std::system(("timeout 60 python3 " + (dir / "store.py").string() + " " + portFile.string() + " " +
                         (dir / "store").string() + " >/dev/null 2>&1 & echo $! > " + (dir / "store.pid").string())
                            .c_str()),
            0);
  for (int i = 0; i < 200 && !std::filesystem::exists(portFile); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  std::string port;
  std::ifstream(portFile) >> port;
  ASSERT_FALSE(port.empty());

  // No synthetic sources: the log goes to the store when the Studio closes.
  ProgramRun run(dir, {"-OpenStudio", "uploaded", "-LogStoreURL", "http://storekey@127.0.0.1:" + port + "/zone/logs/",
                       "-Events", "json", "-Scenario", "wait 0.5; close"});
  EXPECT_EQ(run.wait(30), 0) << run.errors();
  std::string pid;
  std::ifstream(dir / "store.pid") >> pid;
  if (!pid.empty()) ::kill(std::stoi(pid), SIGTERM);

  std::ifstream received(dir / "store" / "received.log");
  std::stringstream body;
  body << received.rdbuf();
  EXPECT_EQ(body.str(), run.sessionLogs());
  EXPECT_NE(body.str().find("Studio closed"), std::string::npos);
  std::string key;
  std::ifstream(dir / "store" / "key") >> key;
  EXPECT_EQ(key, "storekey");
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

TEST(QuarzadelProgram, TheInterruptAfterTheStudioClosedAbandonsTheWaitForASlowLogStore) {
  // A store that takes a few bytes and then holds the connection: the upload
  // would go on until its idle limit, a minute later.
  const auto dir = qztest::scratch("abandon");
  const auto said = dir / "store.out";
  const auto store = std::filesystem::path(qztest::sourceDir()) / "tests" / "peers" / "slow-http-store.py";
  ASSERT_EQ(std::system(("timeout 60 python3 " + store.string() + " --rate 2000 --stop-after 16 --store " +
                         (dir / "store").string() + " > " + said.string() + " 2>/dev/null & echo $! > " +
                         (dir / "store.pid").string())
                            .c_str()),
            0);
  std::string port;
  for (int i = 0; i < 400 && port.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const std::string text = ProgramRun::text(said);
    if (text.find('\n') != std::string::npos) port = text.substr(0, text.find('\n'));
  }
  ASSERT_FALSE(port.empty());

  // No synthetic sources: the log goes to the store when the Studio closes.
  ProgramRun run(dir, {"-OpenStudio", "abandoned", "-LogStoreURL", "http://storekey@127.0.0.1:" + port + "/zone/logs/",
                       "-Events", "json"});
  const std::string waiting = "quarzadel: uploading the session log (interrupt to abandon the upload)";
  const std::string abandoned = "quarzadel: the session log's upload is abandoned; the file stays on this computer";
  EXPECT_GE(run.awaitEvent([](const json& e) { return e["event"] == "status" && e["status"] == "ready"; }, 20), 0)
      << run.errors();
  // Not live: the first interrupt closes the Studio, and the program waits for the upload.
  run.signal(SIGINT);
  double saidAt = -1;
  for (const double until = run.seconds() + 20; saidAt < 0 && run.seconds() < until;) {
    if (run.errors().find(waiting) != std::string::npos) saidAt = run.seconds();
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_GE(saidAt, 0) << run.errors();
  // The store holds the upload: still waiting a second later, and said so once.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  siginfo_t ended{};
  EXPECT_EQ(::waitid(P_PID, static_cast<id_t>(run.pid()), &ended, WEXITED | WNOHANG | WNOWAIT), 0);
  EXPECT_EQ(ended.si_pid, 0) << run.errors();
  EXPECT_EQ(occurrences(run.errors(), waiting), 1u) << run.errors();
  EXPECT_EQ(occurrences(run.errors(), abandoned), 0u) << run.errors();

  const double interruptedAt = run.seconds();
  run.signal(SIGINT);
  EXPECT_EQ(run.wait(20), 0) << run.errors();
  EXPECT_LT(run.endedAt() - interruptedAt, 3.0) << run.errors();
  std::string pid;
  std::ifstream(dir / "store.pid") >> pid;
  if (!pid.empty()) ::kill(std::stoi(pid), SIGTERM);

  const std::string errors = run.errors();
  EXPECT_EQ(occurrences(errors, waiting), 1u) << errors;
  EXPECT_EQ(occurrences(errors, abandoned), 1u) << errors;
  EXPECT_EQ(errors.find("upload failed"), std::string::npos) << errors;
  // The file stays, whole.
  EXPECT_NE(run.sessionLogs().find("Studio closed"), std::string::npos) << run.sessionLogs();
  EXPECT_FALSE(std::filesystem::exists(dir / "store" / "zone"));
  EXPECT_EQ(run.events().back().second["event"], "closed");
}

// Seconds since 1970 of a session-log line's local time stamp ("yyyy-MM-dd HH:mm:ss.SSS ..."), or -1.
double loggedAt(const std::string& line) {
  std::tm tm{};
  std::istringstream in(line.substr(0, 19));
  in >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
  if (in.fail() || line.size() < 23 || line[19] != '.') return -1;
  tm.tm_isdst = -1;
  return static_cast<double>(std::mktime(&tm)) + std::stoi(line.substr(20, 3)) / 1000.0;
}

// The synthetic picture's stream, a few hundred kilobits a second, to a server
// whose program stops reading while its kernel still takes bytes: healthy
// first, then a stall within ten seconds, the statistics showing the backlog.
TEST(QuarzadelProgram, AnIngestStoppedWhileLiveIsAnUploadStallWithinTenSeconds) {
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("shell-nginx-frozen"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  pid_t pid = 0;
  std::ifstream(nginx.dir() / "logs" / "nginx.pid") >> pid;
  ASSERT_GT(pid, 0);
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live";
  ProgramRun run(qztest::scratch("frozen"), studio(url, "frozen", "golive; wait 26; stop; close"));
  const double live = run.awaitEvent(isLive, 15);
  ASSERT_GE(live, 0) << run.errors();
  run.sleepUntil(live + 10);
  const double frozenAt = run.seconds();
  const double frozenWall = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const bool frozen = ::kill(pid, SIGSTOP) == 0;
  run.sleepUntil(frozenAt + 12);
  ::kill(pid, SIGCONT);
  ASSERT_TRUE(frozen);
  EXPECT_EQ(run.wait(60), 0) << run.errors();

  const std::string log = run.sessionLogs();
  std::istringstream lines(log);
  double stalledWall = -1;
  for (std::string line; std::getline(lines, line);)
    if (line.find("] Publish interrupted: Upload stalled") != std::string::npos) {
      stalledWall = loggedAt(line);
      break;
    }
  ASSERT_GT(stalledWall, 0) << log;
  std::printf("upload stalled %.2f s after the freeze\n", stalledWall - frozenWall);
  // More than four seconds after the output last moved, which was no earlier than the freeze.
  EXPECT_GT(stalledWall - frozenWall, 3.9) << log;
  EXPECT_LT(stalledWall - frozenWall, 10.0) << log;

  // Healthy, every second sent something; frozen, the queue grew, and once it held a
  // second of the target rate the quality was no longer good. At this rate the stall
  // may be called before the queue gets there.
  const double stalledAt = frozenAt + (stalledWall - frozenWall);
  int64_t mostQueuedKB = 0;
  for (const auto& [at, e] : run.events()) {
    if (e["event"] == "status" && e["status"] == "reconnecting") EXPECT_GT(at, frozenAt) << e.dump();
    if (e["event"] != "stats" || e["codec"] == "") continue;
    if (at > live + 1.5 && at < frozenAt) EXPECT_GT(e["uploadKbps"].get<int64_t>(), 0) << at;
    if (at > frozenAt && at < stalledAt + 0.2) {
      const int64_t queuedKB = e["queuedKB"].get<int64_t>();
      mostQueuedKB = std::max(mostQueuedKB, queuedKB);
      // The event's figures are rounded down: take the slowest queue they allow.
      const double drain = std::max({(96000.0 + (e["targetKbps"].get<double>() + 1) * 1000) / 4,
                                     (e["uploadKbps"].get<double>() + 1) * 1000, 1.0});
      if (queuedKB * 1024 * 8 / drain >= 1.0) EXPECT_NE(e["quality"], "good") << e.dump();
    }
  }
  // How much the kernel's socket buffers take first varies with the machine's load;
  // what is left queues here.
  EXPECT_GT(mostQueuedKB, 10);
  const auto statuses = run.statuses();
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "reconnecting"), statuses.end());
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "live"), 2) << "live again once the ingest reads";
}

}  // namespace
}  // namespace quarzadel
