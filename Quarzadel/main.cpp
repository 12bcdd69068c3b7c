// quarzadel: opens the Studio for a stream key and streams from the command
// line. Everything is a user default given as "-Key value" (over the defaults
// file), e.g.
//   quarzadel -OpenStudio KEY -OpenStudioTitle "My event" -RTMPServerOverride rtmps://ingest.example/live
// In a terminal it shows a live status line and takes keys; otherwise it
// prints plain lines, or JSON events with "-Events json". "-Scenario" runs a
// script of the same actions ("golive; wait 20; stop; close").
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/Runtime.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Memory/MallocSettings.h"
#include "Quarzadel/App/ActivationSignals.h"
#include "Quarzadel/App/AppActivation.h"
#include "Quarzadel/Capture/DeviceCatalog.h"
#include "Quarzadel/Capture/SystemDevices.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Log/MedleyLogging.h"
#include "Quarzadel/Log/SessionLog.h"
#include "Quarzadel/Shell/LaunchOptions.h"
#include "Quarzadel/Shell/LogUploads.h"
#include "Quarzadel/Shell/QuitSignals.h"
#include "Quarzadel/Shell/StatusLine.h"
#include "Quarzadel/Shell/StudioShell.h"
#include "Quarzadel/Shell/TerminalKeys.h"
#include "Quarzadel/Studio/PreviewPresenter.h"
#include "Quarzadel/Studio/StudioEngine.h"

using namespace quarzadel;

namespace {

constexpr int kBadInput = 2;

const char* kUsage =
    "usage: quarzadel -OpenStudio STREAM_KEY [-Key value ...]\n"
    "  -OpenStudioTitle TEXT  -OpenStudioLive YES|NO  -OpenStudioURL URL\n"
    "  -RTMPServerOverride rtmp[s]://HOST[:PORT]/APP   the ingest instead of the event's\n"
    "  -StreamCodec h264|hevc  -StudioResolution 720p|1080p  -StudioRecordLocally YES|NO\n"
    "  -SyntheticSources YES  -SkipPermissionPrompts YES   test cameras and tone\n"
    "  -StudioMirrorPreview YES  the preview window (shown with an X display) mirrored for the host\n"
    "  -Events json            one JSON line per change on standard output\n"
    "  -Scenario \"golive; wait 20; stop; close\"   a script of actions\n"
    "  -MedleyLogLevel trace|debug|info|warn|error  -DemoMicLevel 0..1 (a fixed meter)\n"
    "keys in a terminal: g go live, s stop, c next camera, m mute, d dismiss, a the notice's action,\n"
    "  x share a screen or window (or stop sharing), h help, q quit\n"
    "exit status: 0 done, 2 bad input, 3 a scenario closed a Studio that never went live,\n"
    "             4 the Studio did not stop and close in time\n";

// Says once that the program waits for the session log's upload, and how the
// host can leave without it.
void waitForUploads(LogUploads& uploads) {
  if (uploads.pending() == 0) return;
  std::fputs("quarzadel: uploading the session log (interrupt to abandon the upload)\n", stderr);
  std::fflush(stderr);
  if (!uploads.waitAll()) {
    std::fputs("quarzadel: the session log's upload is abandoned; the file stays on this computer\n", stderr);
  } else if (uploads.failed() > 0) {
    std::fputs("quarzadel: the session log's upload failed; the file stays on this computer\n", stderr);
  }
  std::fflush(stderr);
}

bool wantsHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "-help")) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  // Memory that publish attempts and encoders free is given back, not kept in the heap.
  platform::MallocSettings::fix();
  if (wantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  auto defaults = platform::UserDefaults::standard();
  defaults->setArguments(argc, argv);

  LaunchOptions options;
  try {
    options = LaunchOptions::read(*defaults);
  } catch (const LaunchOptions::Error& e) {
    std::fprintf(stderr, "quarzadel: %s\n", e.what());
    return kBadInput;
  }
  for (const auto& key : options.unknownArguments)
    std::fprintf(stderr, "quarzadel: %s\n", LaunchOptions::unknownArgumentLine(key).c_str());
  if (!options.event) {
    std::fprintf(stderr, "quarzadel: nothing to open: give -OpenStudio STREAM_KEY\n%s", kUsage);
    return kBadInput;
  }

  MedleyLogging::install();
  // A test host does no launch work.
  if (!std::getenv("XCTestConfigurationFilePath")) Log::appLaunched(__FILE__);

  auto runtime = std::dynamic_pointer_cast<platform::ThreadRuntime>(platform::Runtime::shared());
  auto main = runtime->mainQueue();
  const bool terminal = TerminalKeys::isTerminal(STDOUT_FILENO) && TerminalKeys::isTerminal(STDIN_FILENO);
  const auto mode = options.jsonEvents ? StudioShell::Mode::json
                    : terminal         ? StudioShell::Mode::terminal
                                       : StudioShell::Mode::plain;
  const bool synthetic = options.syntheticSources;
  const StudioEvent event = *options.event;

  auto devices = SystemDevices::make();
  // The signs that the host came back to the Studio; the terminal's focus comes with its keys.
  auto activation = AppActivation::make(runtime);
  auto activationSignals = ActivationSignals::start(activation);
  auto uploads = LogUploads::make();
  std::shared_ptr<DeviceCatalog> catalog;
  std::shared_ptr<StudioShell> shell;
  int exitStatus = 0;
  main->async([&] {
    catalog = DeviceCatalog::make(devices.cameras, devices.microphones, main);
    StudioShell::Environment environment;
    environment.runtime = runtime;
    environment.columns = [] { return TerminalKeys::columns(STDOUT_FILENO); };
    environment.openPreview = [runtime](const std::shared_ptr<StudioEngine>& engine, std::function<void()> onClosed) {
      return PreviewPresenter::open(engine->preview(), runtime, std::move(onClosed));
    };
    environment.makeEngine = [&](const StudioEvent& e) {
      StudioEngine::Environment engine;
      engine.runtime = runtime;
      engine.defaults = defaults;
      engine.devices = devices;
      engine.activation = activation;
      engine.uploadLog = [uploads](const std::filesystem::path& file) { uploads->upload(file); };
      return StudioEngine::make(e, catalog, std::move(engine));
    };
    shell = StudioShell::make(std::move(options), mode, std::move(environment));
    shell->onFinished = [&](int status) {
      exitStatus = status;
      runtime->stopMainLoop();
    };
    shell->open(event);
  });

  std::unique_ptr<TerminalKeys> keys;
  if (TerminalKeys::isTerminal(STDIN_FILENO)) {
    try {
      keys = std::make_unique<TerminalKeys>(
          STDIN_FILENO,
          [&](char key) {
            main->async([&, key] {
              if (shell) shell->key(key);
            });
          },
          [activation] { activation->notify(); }, STDOUT_FILENO);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "quarzadel: the terminal's keys are not available (%s)\n", e.what());
    }
  }
  // Once the main loop has ended, an interrupt abandons the wait for the uploads.
  std::atomic<bool> waitingForUploads{false};
  std::unique_ptr<QuitSignals> signals;
  try {
    signals = std::make_unique<QuitSignals>([&](int signal) {
      if (waitingForUploads) {
        uploads->abandon();
        return;
      }
      // The shell is made on the main queue, so the request goes there too.
      main->async([&, signal] {
        if (shell) shell->signal(signal);
      });
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quarzadel: cannot watch for interrupts (%s)\n", e.what());
  }

  runtime->runMainLoop();

  keys.reset();
  activationSignals.reset();
  // At termination the session log still open goes to the log store, but not
  // from synthetic test sources; the upload of a log the Studio closed is waited
  // for as long as it moves (the upload fails once the store takes nothing).
  waitingForUploads = true;
  if (!synthetic) {
    if (auto file = SessionLog::shared()->close()) uploads->upload(*file);
    waitForUploads(*uploads);
  } else {
    SessionLog::shared()->close();
  }
  signals.reset();
  SessionLog::shared()->flush();
  // The main loop has ended: nothing else runs on the main queue now.
  shell.reset();
  catalog.reset();
  return exitStatus;
}
