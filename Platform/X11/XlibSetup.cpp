#include "Platform/X11/XlibSetup.h"

#include <X11/Xlib.h>

#include <csignal>
#include <mutex>

namespace platform {

namespace {

thread_local int lastError = 0;

// Xlib's default ends the process on any protocol error.
int recordXError(Display*, XErrorEvent* event) {
  lastError = event->error_code;
  return 0;
}

// A lost connection: Xlib's default would end the process.
int ignoreIOError(Display*) { return 0; }

void markLost(Display*, void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); }

}  // namespace

void prepareXlib() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    // Xlib writes with writev(2): a server that went away would raise SIGPIPE
    // and end the process before the loss could be reported.
    ::signal(SIGPIPE, SIG_IGN);
    XSetErrorHandler(recordXError);
    XSetIOErrorHandler(ignoreIOError);
  });
}

int& lastXError() { return lastError; }

void flagConnectionLoss(Display* display, std::atomic<bool>* lost) { XSetIOErrorExitHandler(display, markLost, lost); }

}  // namespace platform
