// Writes one Studio session's log the way the application does (launch line,
// catalogue entries, library records through the bridge), closes it and uploads
// it to the log store, waiting for the result.
//
//   logdemo [-SessionKey <stream key>] [-LogStoreURL http://KEY@127.0.0.1:PORT/zone/logs/] [-LogBytes N]
//
// Prints the local file's path on success; exits 1 when the upload failed.
#include <cstdio>
#include <string>

#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Memory/MallocSettings.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Log/MedleyLogging.h"
#include "Quarzadel/Log/SessionLog.h"
#include "Quarzadel/Program/StreamConfig.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

using namespace quarzadel;

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  // Memory that publish attempts and encoders free is given back, not kept in the heap.
  platform::MallocSettings::fix();
  auto defaults = platform::UserDefaults::standard();
  defaults->setArguments(argc, argv);
  std::string key = defaults->string("SessionKey").value_or("demo/live_0123456789");

  MedleyLogging::install();
  Log::appLaunched(__FILE__);

  auto session = SessionLog::shared();
  session->startSession(key);
  Log::studioOpened("Log demo", true, __FILE__);
  Log::permissions("granted", "granted", __FILE__);
  StreamConfig config;
  Log::publishRequested("rtmp://127.0.0.1/live", key, config, __FILE__);
  Log::encoderConfigured(config.videoCodec, config, 4'500'000, false, __FILE__);
  MEDLEY_LOG_INFO("encoder ready:", std::to_string(config.width()) + "x" + std::to_string(config.height()));
  RTMP_LOG_WARN("acknowledgement late by", 1.5, "s");
  Log::publishing(1, 0.42, __FILE__);
  Log::uplinkCongested("video bitrate 4500 → 3000 kbps (upload 2800 kbps, 310 KB queued)", __FILE__);
  // A long session's log: a statistics line a second until the file holds about
  // the bytes asked for ("-LogBytes N").
  const int64_t padTo = defaults->integer("LogBytes");
  const auto date = platform::WallClock::system()->now();
  const auto lineBytes = static_cast<int64_t>(
      SessionLog::line(date, "INFO", "main", "Upload 2834 kbps · H.264 2867 kbps · 29 fps · 12 KB queued (0.4 s)").size());
  for (int64_t written = 0, second = 0; written < padTo; ++second, written += lineBytes)
    Log::uploadStatsLine(2800 + second % 97, "H.264", 2867, 29, 10 + second % 40, 0.36, __FILE__);
  Log::publishStoppedByUser(__FILE__);
  Log::studioClosed(__FILE__);

  auto url = session->close();
  if (!url) {
    std::fprintf(stderr, "logdemo: no session-log file was opened\n");
    return 1;
  }
  // However long the log, the upload is waited for while the store takes it.
  if (!SessionLog::uploadAndWait(*url)) {
    std::fprintf(stderr, "logdemo: upload of %s failed\n", url->c_str());
    return 1;
  }
  std::printf("%s\n", url->c_str());
  return 0;
}
