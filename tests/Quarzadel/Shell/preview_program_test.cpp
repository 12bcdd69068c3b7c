// The Studio's preview window on an X display, read back from the server: the
// program picture as it goes out, mirrored when the host asked for it; without
// a display the Studio runs as before and says so once.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <utility>
#include <vector>

#include "Eventually.h"
#include "ProgramRun.h"
#include "peers/XvfbServer.h"

// After our headers: Xlib defines macros such as Status.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quarzadel {
namespace {

using json = nlohmann::json;

// One 1080p frame for the synthetic clip camera: bright left half, dark right half.
std::filesystem::path writeClip(const std::filesystem::path& dir) {
  const int w = 1920, h = 1080;
  std::vector<char> frame(static_cast<size_t>(w) * h * 3 / 2, static_cast<char>(128));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) frame[static_cast<size_t>(y) * w + x] = static_cast<char>(x < w / 2 ? 235 : 16);
  const auto path = dir / "halves.nv12";
  std::ofstream(path, std::ios::binary).write(frame.data(), static_cast<std::streamsize>(frame.size()));
  return path;
}

std::vector<std::string> studio(const std::filesystem::path& clip, bool mirrored) {
  return {"-SyntheticSources", "YES", "-SkipPermissionPrompts", "YES", "-OpenStudio", "previewed",
          "-InitialCamera", "synthetic-noise", "-SyntheticClip", clip.string(), "-StudioMirrorPreview",
          mirrored ? "YES" : "NO", "-StudioRecordLocally", "NO", "-RecordLocally", "NO", "-Events", "json",
          "-Scenario", "wait 30; close"};
}

// The mean green of the left and right thirds of the preview window, none
// while there is no such window.
std::optional<std::pair<int, int>> previewHalves(const std::string& display) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return std::nullopt;
  std::optional<std::pair<int, int>> out;
  Window root = 0, parent = 0, *children = nullptr;
  unsigned int count = 0;
  XQueryTree(d, RootWindow(d, 0), &root, &parent, &children, &count);
  for (unsigned int i = 0; i < count && !out; ++i) {
    char* name = nullptr;
    XWindowAttributes a{};
    const bool preview = XFetchName(d, children[i], &name) && name && std::string(name) == "Quarzadel preview";
    if (name) XFree(name);
    if (!preview || !XGetWindowAttributes(d, children[i], &a) || a.map_state != IsViewable) continue;
    XImage* image = XGetImage(d, children[i], 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image) continue;
    int64_t left = 0, right = 0, n = 0;
    for (int y = a.height / 4; y < a.height * 3 / 4; y += 4)
      for (int x = 0; x < a.width / 3; x += 4, ++n) {
        left += (XGetPixel(image, x, y) >> 8) & 0xff;
        right += (XGetPixel(image, a.width - 1 - x, y) >> 8) & 0xff;
      }
    XDestroyImage(image);
    out = std::make_pair(int(left / n), int(right / n));
  }
  if (children) XFree(children);
  XCloseDisplay(d);
  return out;
}

TEST(QuarzadelPreview, TheWindowShowsTheProgramPictureMirroredAsSetAndWithoutADisplayTheStudioSaysSo) {
  qztest::XvfbServer x("1024x768x24");
  ASSERT_TRUE(x.ok()) << "Xvfb did not start";
  const auto clip = writeClip(qztest::scratch("preview"));
  const std::string noDisplay = "No X display: the Studio runs without its preview window.";
  for (const auto& row : std::vector<std::pair<std::string, bool>>{{x.display(), false}, {x.display(), true}, {"", false}}) {
    const std::string display = row.first;
    const bool mirrored = row.second;
    SCOPED_TRACE(display.empty() ? "no display" : mirrored ? "mirrored" : "as it goes out");
    qztest::ProgramRun run(qztest::scratch("preview-run"), studio(clip, mirrored), {{"DISPLAY", display}});
    ASSERT_GE(run.awaitEvent([](const json& e) { return e["event"] == "camera" && e["id"] == "synthetic-noise"; }, 15),
              0)
        << run.errors();
    if (!display.empty()) {
      // Bright against dark; the sweeping bar and the flash frames come and go.
      std::optional<std::pair<int, int>> seen;
      EXPECT_TRUE(qztest::eventually([&] {
        seen = previewHalves(display);
        return seen && (mirrored ? seen->first < 60 && seen->second > 180 : seen->first > 180 && seen->second < 60);
      })) << (seen ? std::to_string(seen->first) + " | " + std::to_string(seen->second) : "no window");
    }
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait(20), 0) << run.errors();
    const auto errors = run.errors();
    const auto told = errors.find(noDisplay);
    EXPECT_EQ(told != std::string::npos, display.empty()) << errors;
    if (told != std::string::npos) EXPECT_EQ(errors.find(noDisplay, told + 1), std::string::npos) << "said once";
  }
}

}  // namespace
}  // namespace quarzadel
