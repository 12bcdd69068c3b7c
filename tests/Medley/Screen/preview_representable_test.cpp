#include <gtest/gtest.h>

#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Medley/Sources/Screen/MTMDViewRepresentable.h"
#include "Medley/Sources/Screen/PiPMDViewRepresentable.h"
#include "Platform/Concurrency/BlockingWait.h"
#include "Platform/Dispatch/VirtualRuntime.h"

namespace medley {
namespace {

using testing::grey;
using testing::halves;
namespace gravity = layerVideoGravity;

// Hands its frames to the view it was given, as a mixer hands its outputs theirs.
template <typename View, typename Representable>
struct FrameSource final : Representable::PreviewSource {
  explicit FrameSource(std::shared_ptr<MediaMixer> mixer) : mixer(std::move(mixer)) {}
  void attachPreview(const std::shared_ptr<View>& v) override {
    view = v;
    ++attached;
  }
  void send(const platform::SampleBufferRef& frame) const { view->mixer(*mixer, frame); }
  std::shared_ptr<MediaMixer> mixer;
  std::shared_ptr<View> view;
  int attached = 0;
};

template <typename View>
std::optional<uint8_t> videoTrack(const std::shared_ptr<platform::VirtualRuntime>& runtime, View& view) {
  std::optional<uint8_t> id;
  auto read = [&]() -> platform::Async<void> { id = co_await view.videoTrackId(); };
  platform::blockingWait(runtime, read());
  return id;
}

template <typename View, typename Representable>
struct Case {
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  std::shared_ptr<FrameSource<View, Representable>> source = std::make_shared<FrameSource<View, Representable>>(
      std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::manual, false, runtime));
  Representable representable{source, PreviewSurface::makeOffscreen(1000, 1000), gravity::resizeAspect, runtime};

  // Attaches, tracks and shows a frame; the picture has bars above and below.
  std::shared_ptr<View> attachTrackAndShow() {
    const auto& view = representable.makeView();
    EXPECT_EQ(source->view, view);
    EXPECT_EQ(source->attached, 1);
    runtime->runUntilIdle();  // the set-up the factory started
    const Representable tracked = representable.track(3);
    EXPECT_EQ(tracked.view(), view) << "a copy shows the same view";
    EXPECT_EQ(videoTrack(runtime, *view), 3);
    representable.track(std::nullopt);
    EXPECT_EQ(videoTrack(runtime, *view), std::nullopt);
    source->send(halves(1280, 720));
    runtime->runUntilIdle();
    return view;
  }
};

TEST(PreviewRepresentable, AttachesTracksUpdatesAndShowsTheSourcesPicture) {
  {
    Case<MTMDView, MTMDViewRepresentable> c;
    const auto view = c.attachTrackAndShow();
    const auto& surface = *view->surface();
    EXPECT_LT(grey(*surface.lastPresented(), 100, 100), 5);
    EXPECT_GT(grey(*surface.lastPresented(), 100, 500), 200);
    EXPECT_LT(grey(*surface.lastPresented(), 900, 500), 80);
    c.representable.setVideoGravity(gravity::resizeAspectFill);
    EXPECT_EQ(view->videoGravity(), gravity::resizeAspect) << "pushed only by an update";
    c.representable.updateView();
    c.source->send(halves(1280, 720));
    c.runtime->runUntilIdle();
    EXPECT_GT(grey(*surface.lastPresented(), 100, 2), 200) << "filled: no bars";
  }
  {
    Case<PiPMDView, PiPMDViewRepresentable> c;
    const auto view = c.attachTrackAndShow();
    ASSERT_TRUE(view->layer()) << "set up by the factory";
    const auto& surface = *view->layer()->surface();
    EXPECT_LT(grey(*surface.lastPresented(), 100, 100), 5);
    EXPECT_GT(grey(*surface.lastPresented(), 100, 500), 200);
    c.representable.setVideoGravity(gravity::resizeAspectFill);
    c.representable.updateView();
    EXPECT_EQ(view->layer()->videoGravity(), gravity::resizeAspectFill);
    EXPECT_GT(grey(*surface.lastPresented(), 100, 2), 200) << "the layer redraws at once";
  }
}

}  // namespace
}  // namespace medley
