#include "Platform/X11/OwnWindows.h"

#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

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

// A property's items when it is set with this format; Xlib hands 32-bit items as longs.
template <typename Item>
std::optional<std::vector<Item>> property(Display* dpy, Window w, Atom name, Atom type, long length, int format) {
  Atom actualType = None;
  int actualFormat = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<std::vector<Item>> items;
  if (XGetWindowProperty(dpy, w, name, 0, length, False, type, &actualType, &actualFormat, &count, &after, &data) ==
          Success &&
      data && actualFormat == format) {
    const auto* first = reinterpret_cast<const Item*>(data);
    items.emplace(first, first + count);
  }
  if (data) XFree(data);
  return items;
}

std::optional<std::string> stringProperty(Display* dpy, Window w, Atom name) {
  const auto bytes = property<char>(dpy, w, name, AnyPropertyType, 256, 8);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

std::optional<long> pidProperty(Display* dpy, Window w) {
  const auto items = property<unsigned long>(dpy, w, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 1, 32);
  if (!items || items->size() != 1) return std::nullopt;
  return static_cast<long>(items->front());
}

bool marked(Display* dpy, Window w) {
  // Every process of the application sets the token: another Studio's preview is as much ours.
  if (stringProperty(dpy, w, XInternAtom(dpy, kTokenProperty, False))) return true;
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
