#include "Platform/X11/OwnWindows.h"

#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <optional>
#include <random>
#include <string>

namespace platform {
namespace {

constexpr const char* kTokenProperty = "_QUARZADEL_OWNER";

const std::string& processToken() {
  static const std::string token = [] {
    std::random_device random;
    char text[40];
    std::snprintf(text, sizeof text, "%08x%08x-%d", random(), random(), static_cast<int>(::getpid()));
    return std::string(text);
  }();
  return token;
}

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::optional<std::string> stringProperty(Display* dpy, Window w, Atom property) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<std::string> value;
  if (XGetWindowProperty(dpy, w, property, 0, 256, False, AnyPropertyType, &type, &format, &count, &after, &data) ==
          Success &&
      data && format == 8)
    value.emplace(reinterpret_cast<char*>(data), count);
  if (data) XFree(data);
  return value;
}

std::optional<long> pidProperty(Display* dpy, Window w) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<long> pid;
  const Atom netPid = XInternAtom(dpy, "_NET_WM_PID", False);
  if (XGetWindowProperty(dpy, w, netPid, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
      data && format == 32 && count == 1)
    pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
  if (data) XFree(data);
  return pid;
}

bool marked(Display* dpy, Window w) {
  if (stringProperty(dpy, w, XInternAtom(dpy, kTokenProperty, False)) == processToken()) return true;
  if (pidProperty(dpy, w) != static_cast<long>(::getpid())) return false;
  // A process id means this process only on this machine.
  const auto machine = stringProperty(dpy, w, XA_WM_CLIENT_MACHINE);
  return !machine || machine->empty() || *machine == hostName();
}

}  // namespace

void markOwnWindow(Display* dpy, unsigned long window) {
  const unsigned long pid = static_cast<unsigned long>(::getpid());
  XChangeProperty(dpy, window, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  const std::string host = hostName();
  if (!host.empty())
    XChangeProperty(dpy, window, XA_WM_CLIENT_MACHINE, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(host.data()), static_cast<int>(host.size()));
  const std::string& token = processToken();
  XChangeProperty(dpy, window, XInternAtom(dpy, kTokenProperty, False), XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(token.data()), static_cast<int>(token.size()));
}

bool isOwnWindow(Display* dpy, unsigned long window) {
  if (marked(dpy, window)) return true;
  // Without a client list the candidates are the root's children, which a
  // reparenting window manager makes frames around the real windows.
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int n = 0;
  bool own = false;
  if (XQueryTree(dpy, window, &root, &parent, &children, &n) && children)
    for (unsigned int i = 0; i < n && !own; ++i) own = marked(dpy, children[i]);
  if (children) XFree(children);
  return own;
}

}  // namespace platform
