#pragma once
// Xlib as the process uses it: set up once, before the first display is
// opened, so that an X server's protocol errors and a lost connection are
// reported to the caller instead of ending the process.
#include <atomic>

typedef struct _XDisplay Display;

namespace platform {

// Threads on, SIGPIPE ignored (Xlib writes to the server's socket), protocol
// errors recorded per thread, a lost connection left to its display's owner.
void prepareXlib();
// The code of the last X protocol error on this thread; reset it to 0 before a
// request that may fail and read it after a round trip.
int& lastXError();
// Raises `lost` when the connection to this display breaks; the display then
// does nothing more and only closing it is left.
void flagConnectionLoss(Display* display, std::atomic<bool>* lost);

}  // namespace platform
