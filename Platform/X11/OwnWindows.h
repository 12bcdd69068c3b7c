#pragma once
// The windows this process shows (the preview) carry marks by which its own
// screen capture leaves them out: sharing the preview would show the preview
// inside itself. A title is no mark: any program may use the same one.
typedef struct _XDisplay Display;

namespace platform {

// Marks a window of ours: _NET_WM_PID with WM_CLIENT_MACHINE, as window
// managers expect them, and a token of this process's own, which no other
// process has even where process ids repeat (another host, a container).
void markOwnWindow(Display* display, unsigned long window);
// True for a window this process marked, or one that names this process by
// _NET_WM_PID on this machine; a window manager's frame counts by its client.
bool isOwnWindow(Display* display, unsigned long window);

}  // namespace platform
