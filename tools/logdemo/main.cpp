// Writes one Studio session's log the way the application does (launch line,
// catalogue entries, library records through the bridge), closes it and uploads
// it to the log store, waiting for the result.
//
//   logdemo [-SessionKey <stream key>] [-LogStoreURL http://KEY@127.0.0.1:PORT/zone/logs/]
//
// Prints the local file's path on success; exits 1 when the upload failed.
#include <cstdio>
#include <string>

#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Memory/MallocSettings.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Log/MedleyLogging.h"
#include "Quarzadel/Log/SessionLog.h"
#include "Quarzadel/Program/StreamConfig.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

using namespace quarzadel;

int main(int argc, char** argv) {
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
  Log::publishStoppedByUser(__FILE__);
  Log::studioClosed(__FILE__);

  auto url = session->close();
  if (!url) {
    std::fprintf(stderr, "logdemo: no session-log file was opened\n");
    return 1;
  }
  if (!SessionLog::uploadAndWait(*url, platform::seconds(10))) {
    std::fprintf(stderr, "logdemo: upload of %s failed\n", url->c_str());
    return 1;
  }
  std::printf("%s\n", url->c_str());
  return 0;
}
