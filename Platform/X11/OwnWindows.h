#pragma once
// The windows the application shows (the preview) carry marks by which its
// screen capture leaves them out: sharing a preview would show a preview inside
// itself, this process's or another running Studio's. A title is no mark: any
// program may use the same one.
typedef struct _XDisplay Display;

namespace platform {

// Marks a window of ours: _NET_WM_PID with WM_CLIENT_MACHINE, as window
// managers expect them, and the application's own property, holding a token
// of this process's own (no other process has it even where process ids
// repeat: another host, a container).
void markOwnWindow(Display* display, unsigned long window);
// True for a window any process of the application marked, or one that names
// this process by _NET_WM_PID on this machine; a window manager's frame counts
// by its client.
bool isOwnWindow(Display* display, unsigned long window);

}  // namespace platform
