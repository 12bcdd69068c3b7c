#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Sources/Codec/HLGConversion.h"
#include "Medley/Sources/Extension/PixelBufferExtensions.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/ScreenRendererByCPU.h"
#include "Medley/Sources/Screen/StreamScreenObject.h"

namespace medley {
namespace {

using Colour = std::array<double, 3>;

// A BT.709 colour (R'G'B' 0...1) as an 8-bit video-range picture.
platform::PixelBufferRef bt709Picture(const Colour& c, int w = 64, int h = 36) {
  const double y = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
  auto code = [](double v) { return static_cast<uint8_t>(std::lround(v)); };
  return testing::solidPicture(w, h, code(16 + 219 * y), code(128 + 224 * (c[2] - y) / 1.8556),
                               code(128 + 224 * (c[0] - y) / 1.5748));
}

// What a viewer of the HLG frame sees, decoded from the standard formulas:
// 10-bit BT.2020 Y'CbCr -> HLG R'G'B' -> scene light, standard white at 75% ->
// BT.709 primaries -> BT.709 signal.
Colour decodedAsBT709(const platform::PixelBuffer& frame, int x, int y) {
  const auto py = frame.plane(0), puv = frame.plane(1);
  const int luma = reinterpret_cast<const uint16_t*>(py.data + y * py.bytesPerRow)[x] >> 6;
  const auto* uv = reinterpret_cast<const uint16_t*>(puv.data + (y / 2) * puv.bytesPerRow);
  const double l = (luma - 64) / 876.0, pb = ((uv[x / 2 * 2] >> 6) - 512) / 896.0,
               pr = ((uv[x / 2 * 2 + 1] >> 6) - 512) / 896.0;
  const double r = l + 1.4746 * pr, b = l + 1.8814 * pb, g = (l - 0.2627 * r - 0.0593 * b) / 0.6780;
  const double a = 0.17883277, bb = 0.28466892, c = 0.55991073;
  auto light = [&](double v) {
    v = std::clamp(v, 0.0, 1.0);
    return v <= 0.5 ? v * v / 3 : (std::exp((v - c) / a) + bb) / 12;
  };
  const double white = light(0.75);
  const Colour e{light(r) / white, light(g) / white, light(b) / white};
  const Colour n{1.6605 * e[0] - 0.5876 * e[1] - 0.0728 * e[2], -0.1246 * e[0] + 1.1329 * e[1] - 0.0083 * e[2],
                 -0.0182 * e[0] - 0.1006 * e[1] + 1.1187 * e[2]};
  Colour out{};
  for (int i = 0; i < 3; ++i) {
    const double v = std::clamp(n[i], 0.0, 1.0);
    out[i] = v < 0.018 ? 4.5 * v : 1.099 * std::pow(v, 0.45) - 0.099;
  }
  return out;
}

platform::SampleBufferRef composedInHDR(const Colour& c) {
  Screen screen;
  screen.setDynamicRangeMode(DynamicRangeMode::hdr);
  screen.setSize({64, 36});
  auto stream = std::make_shared<StreamScreenObject>();
  platform::SampleTiming t;
  t.presentationTime = platform::MediaTime::zero();
  stream->setSampleBuffer(platform::SampleBuffer::makeImage(bt709Picture(c), t));
  screen.addChild(stream);
  return screen.makeSampleBuffer({1, 1.016});
}

TEST(HDRComposition, ABT709PictureComposedInHDRIsConvertedToHLGAndDecodesBackToItsColour) {
  // Red, a skin tone, a dull blue and white: what BT.709 pictures show.
  for (const Colour& c : {Colour{1, 0, 0}, Colour{0.8, 0.55, 0.4}, Colour{0.1, 0.35, 0.75}, Colour{1, 1, 1}}) {
    const auto frame = composedInHDR(c);
    ASSERT_TRUE(frame);
    const auto& picture = *frame->imageBuffer();
    ASSERT_EQ(picture.format(), platform::PixelFormat::p010);
    EXPECT_EQ(picture.colorAttachments().transfer, platform::TransferFunction::itu_r_2100_hlg);
    EXPECT_EQ(picture.colorAttachments().primaries, platform::ColorPrimaries::itu_r_2020);
    EXPECT_EQ(picture.colorAttachments().matrix, platform::YCbCrMatrix::itu_r_2020);
    const Colour seen = decodedAsBT709(picture, 32, 18);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(seen[i], c[i], 0.02) << "colour " << c[0] << "," << c[1] << "," << c[2];
  }
  // Standard white sits at HLG's reference white (75% of the signal), not at its peak.
  const auto white = composedInHDR({1, 1, 1});
  const auto py = white->imageBuffer()->plane(0);
  EXPECT_NEAR(reinterpret_cast<const uint16_t*>(py.data)[0] >> 6, 64 + 0.75 * 876, 2);
  EXPECT_NEAR(hlgFromBT709({1, 1, 1})[0], 0.75, 1e-4);
}

TEST(HDRComposition, HLGFramesComposeAndPreviewAsTheirBT709ColoursAndUntaggedTenBitOnesAsBefore) {
  const Colour skin{0.8, 0.55, 0.4};
  const auto frame = composedInHDR(skin);
  ASSERT_TRUE(frame);
  const auto back = makeComposableBuffer(frame->imageBuffer());
  ASSERT_EQ(back->format(), platform::PixelFormat::nv12VideoRange);
  EXPECT_EQ(back->colorAttachments(), platform::ColorAttachments::bt709());
  const auto original = bt709Picture(skin);
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < 2; ++i)
      EXPECT_NEAR(back->plane(p).data[i], original->plane(p).data[i], 1) << "plane " << p << " sample " << i;

  // The scalar forms agree with each other over the standard range.
  for (const Colour& c : {Colour{0, 0, 0}, Colour{0.5, 0.5, 0.5}, Colour{0.02, 0.9, 0.3}}) {
    const Colour round = bt709FromHLG(hlgFromBT709(c));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(round[i], c[i], 1e-3);
  }
  // A 10-bit picture without tags keeps being read as BT.709 widened to 10 bits.
  auto untagged = platform::PixelBuffer::make(64, 36, platform::PixelFormat::p010);
  for (int p = 0; p < 2; ++p)
    for (int r = 0; r < untagged->plane(p).height; ++r)
      for (int i = 0; i < untagged->plane(p).width * (p + 1); ++i)
        reinterpret_cast<uint16_t*>(untagged->plane(p).data + r * untagged->plane(p).bytesPerRow)[i] =
            static_cast<uint16_t>((p == 0 ? 502 : 512) << 6);
  EXPECT_EQ(makeComposableBuffer(untagged)->plane(0).data[0], 125);
}

// A 10-bit HLG picture of one grey level, as an HDR camera gives it.
platform::PixelBufferRef hlgPicture(int w, int h, uint16_t luma) {
  auto p = platform::PixelBuffer::make(w, h, platform::PixelFormat::p010);
  for (int plane = 0; plane < 2; ++plane)
    for (int r = 0; r < p->plane(plane).height; ++r) {
      auto* row = reinterpret_cast<uint16_t*>(p->plane(plane).data + r * p->plane(plane).bytesPerRow);
      for (int i = 0; i < p->plane(plane).width * (plane + 1); ++i)
        row[i] = static_cast<uint16_t>((plane == 0 ? luma : 512) << 6);
    }
  p->setColorAttachments({platform::YCbCrMatrix::itu_r_2020, platform::ColorPrimaries::itu_r_2020,
                          platform::TransferFunction::itu_r_2100_hlg, platform::AttachmentMode::shouldPropagate});
  return p;
}

TEST(HDRComposition, HLGPicturesKeepTheirLevelsAboveStandardWhiteBesideConvertedBT709Ones) {
  Screen screen;
  screen.setDynamicRangeMode(DynamicRangeMode::hdr);
  screen.setSize({128, 36});
  // Left: an HLG camera at reference white, a highlight and peak white in turn;
  // right: BT.709 red, converted up beside it.
  auto camera = std::make_shared<StreamScreenObject>();
  camera->setSize({64, 36});
  auto still = std::make_shared<StreamScreenObject>();
  still->setSize({64, 36});
  still->setHorizontalAlignment(ScreenObject::HorizontalAlignment::right);
  platform::SampleTiming t;
  t.presentationTime = platform::MediaTime::zero();
  still->setSampleBuffer(platform::SampleBuffer::makeImage(bt709Picture({1, 0, 0}), t));
  screen.addChild(camera);
  screen.addChild(still);
  int tick = 0;
  for (const uint16_t level : {721, 852, 940}) {
    // Larger than its place, so it is scaled down.
    camera->setSampleBuffer(platform::SampleBuffer::makeImage(hlgPicture(96, 54, level), t));
    const auto frame = screen.makeSampleBuffer({1.0 + tick, 1.016 + tick});
    ++tick;
    ASSERT_TRUE(frame);
    const auto& picture = *frame->imageBuffer();
    const auto py = picture.plane(0), puv = picture.plane(1);
    EXPECT_NEAR(reinterpret_cast<const uint16_t*>(py.data + 18 * py.bytesPerRow)[20] >> 6, level, 2);
    EXPECT_NEAR(reinterpret_cast<const uint16_t*>(puv.data + 9 * puv.bytesPerRow)[20] >> 6, 512, 2);
    const Colour red = decodedAsBT709(picture, 100, 18);
    EXPECT_NEAR(red[0], 1, 0.02);
    EXPECT_NEAR(red[1], 0, 0.02);
    EXPECT_NEAR(red[2], 0, 0.02);
  }

  // With rounded corners the highlight is blended in 10 bits: its middle keeps
  // its level, a corner shows the black background in HLG.
  camera->setCornerRadius(12);
  camera->setSampleBuffer(platform::SampleBuffer::makeImage(hlgPicture(64, 36, 940), t));
  const auto frame = screen.makeSampleBuffer({10, 10.016});
  ASSERT_TRUE(frame);
  const auto py = frame->imageBuffer()->plane(0);
  EXPECT_NEAR(reinterpret_cast<const uint16_t*>(py.data + 18 * py.bytesPerRow)[32] >> 6, 940, 2);
  EXPECT_NEAR(reinterpret_cast<const uint16_t*>(py.data)[0] >> 6, 64, 2);
}

TEST(HDRComposition, AVideoEffectIsHandedEightBitBT709PicturesOfAnHLGCamera) {
  Screen screen;
  screen.setDynamicRangeMode(DynamicRangeMode::hdr);
  screen.setSize({64, 36});
  std::vector<std::string> log;
  platform::PixelFormat seen{};
  auto effect = std::make_shared<testing::RecordingEffect>("look", log, [&seen](const ScreenImage& image) {
    seen = image.source()->format();
    return image;
  });
  ASSERT_TRUE(screen.registerVideoEffect(effect));
  platform::SampleTiming t;
  t.presentationTime = platform::MediaTime::fromSeconds(1, 1'000'000'000);
  screen.videoTrackScreenObject()->queue()->enqueue(platform::SampleBuffer::makeImage(hlgPicture(64, 36, 940), t));
  const auto frame = screen.makeSampleBuffer({1, 1.016});
  ASSERT_TRUE(frame);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(seen, platform::PixelFormat::nv12VideoRange);
  // Composed as a standard picture: its white at HLG's reference white.
  const auto py = frame->imageBuffer()->plane(0);
  EXPECT_NEAR(reinterpret_cast<const uint16_t*>(py.data + 18 * py.bytesPerRow)[32] >> 6, 721, 2);
}


TEST(HDRComposition, AWholeFrameBT709CameraIsConvertedFromItsOwnPicturesWhichAreLeftAsTheyWere) {
  // A camera filling the frame in its own size, a new picture each tick: each
  // is converted straight from the camera's samples, and none of the camera's
  // pictures is written over (the renderer may reuse only buffers of its own),
  // not even when a last, smaller picture is scaled up.
  Screen screen;
  screen.setDynamicRangeMode(DynamicRangeMode::hdr);
  screen.setSize({64, 36});
  auto camera = std::make_shared<StreamScreenObject>();
  screen.addChild(camera);
  const std::vector<Colour> colours{{1, 0, 0}, {0.1, 0.35, 0.75}, {0.8, 0.55, 0.4}, {1, 1, 1}};
  std::vector<platform::PixelBufferRef> pictures;
  std::vector<std::vector<uint8_t>> copies;
  for (size_t i = 0; i < colours.size(); ++i) {
    pictures.push_back(i + 1 < colours.size() ? bt709Picture(colours[i]) : bt709Picture(colours[i], 32, 18));
    const auto py = pictures.back()->plane(0), puv = pictures.back()->plane(1);
    copies.emplace_back(py.data, py.data + py.bytesPerRow * py.height);
    copies.back().insert(copies.back().end(), puv.data, puv.data + puv.bytesPerRow * puv.height);
    platform::SampleTiming t;
    t.presentationTime = platform::MediaTime::fromSeconds(static_cast<double>(i), 1'000'000'000);
    camera->setSampleBuffer(platform::SampleBuffer::makeImage(pictures.back(), t));
    const auto frame = screen.makeSampleBuffer({1.0 + i, 1.016 + i});
    ASSERT_TRUE(frame);
    for (const auto& [x, y] : {std::array<int, 2>{0, 0}, {63, 35}, {32, 18}}) {
      const Colour seen = decodedAsBT709(*frame->imageBuffer(), x, y);
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(seen[k], colours[i][k], 0.02) << "tick " << i << " at " << x << "," << y;
    }
  }
  for (size_t i = 0; i < pictures.size(); ++i) {
    const auto py = pictures[i]->plane(0), puv = pictures[i]->plane(1);
    std::vector<uint8_t> now(py.data, py.data + py.bytesPerRow * py.height);
    now.insert(now.end(), puv.data, puv.data + puv.bytesPerRow * puv.height);
    EXPECT_EQ(now, copies[i]) << "picture " << i;
  }
}

TEST(HDRComposition, BT709PicturesConvertedInTheirPlacesKeepTheirOrderAndMatchTheirOwnConversions) {
  // A camera of varied colours in the bottom-right quarter and a red picture
  // filling the frame, drawn in either order: the later covers the earlier,
  // and every sample is what converting that picture alone gives.
  auto camera = platform::PixelBuffer::make(32, 18, platform::PixelFormat::nv12VideoRange);
  for (int plane = 0; plane < 2; ++plane)
    for (int r = 0; r < camera->plane(plane).height; ++r)
      for (int i = 0; i < camera->plane(plane).width * (plane + 1); ++i)
        camera->plane(plane).data[r * camera->plane(plane).bytesPerRow + i] =
            static_cast<uint8_t>(16 + (i * 37 + r * 11) % 224);
  camera->setColorAttachments(platform::ColorAttachments::bt709());
  const auto red = bt709Picture({1, 0, 0});
  auto cameraHLG = platform::PixelBuffer::make(32, 18, platform::PixelFormat::p010);
  auto redHLG = platform::PixelBuffer::make(64, 36, platform::PixelFormat::p010);
  ASSERT_TRUE(convertBT709ToHLG(*camera, *cameraHLG));
  ASSERT_TRUE(convertBT709ToHLG(*red, *redHLG));
  const auto sample = [](const platform::PixelBuffer& b, int plane, int i, int r) {
    return reinterpret_cast<const uint16_t*>(b.plane(plane).data + r * b.plane(plane).bytesPerRow)[i];
  };
  for (const bool cameraOnTop : {true, false}) {
    Screen screen;
    screen.setDynamicRangeMode(DynamicRangeMode::hdr);
    screen.setSize({64, 36});
    auto small = std::make_shared<StreamScreenObject>();
    small->setSize({32, 18});
    small->setHorizontalAlignment(ScreenObject::HorizontalAlignment::right);
    small->setVerticalAlignment(ScreenObject::VerticalAlignment::bottom);
    auto whole = std::make_shared<StreamScreenObject>();
    platform::SampleTiming t;
    t.presentationTime = platform::MediaTime::zero();
    small->setSampleBuffer(platform::SampleBuffer::makeImage(camera, t));
    whole->setSampleBuffer(platform::SampleBuffer::makeImage(red, t));
    screen.addChild(cameraOnTop ? whole : small);
    screen.addChild(cameraOnTop ? small : whole);
    // Twice: the second frame is made from the same pictures again.
    for (int tick = 0; tick < 2; ++tick) {
      const auto frame = screen.makeSampleBuffer({1.0 + tick, 1.016 + tick});
      ASSERT_TRUE(frame);
      const auto& f = *frame->imageBuffer();
      for (int plane = 0; plane < 2; ++plane)
        for (int r = 0; r < f.plane(plane).height; ++r)
          for (int i = 0; i < f.plane(plane).width * (plane + 1); ++i) {
            const bool onCamera = cameraOnTop && i >= 32 && r >= (plane ? 9 : 18);
            const uint16_t expected =
                onCamera ? sample(*cameraHLG, plane, i - 32, r - (plane ? 9 : 18)) : sample(*redHLG, plane, i, r);
            ASSERT_EQ(sample(f, plane, i, r), expected)
                << (cameraOnTop ? "camera on top" : "red on top") << ", tick " << tick << ", plane " << plane << " at "
                << i << "," << r;
          }
    }
  }
}

TEST(HDRComposition, ACameraPictureDrawnAgainWithoutANewOneIsConvertedAgainInItsPlaceNotIntoANewPicture) {
  // A camera at a third of the frame rate: each picture is drawn three times,
  // twice without a new layout. Every frame is that picture converted, and the
  // renderer keeps only the camera's own picture, no 10-bit one of its own.
  Screen screen;
  screen.setDynamicRangeMode(DynamicRangeMode::hdr);
  screen.setSize({64, 36});
  auto camera = std::make_shared<StreamScreenObject>();
  screen.addChild(camera);
  auto& renderer = dynamic_cast<ScreenRendererByCPU&>(screen.renderer());
  const std::vector<Colour> colours{{0.8, 0.55, 0.4}, {0.1, 0.35, 0.75}};
  for (size_t i = 0; i < colours.size(); ++i) {
    const auto picture = bt709Picture(colours[i]);
    auto expected = platform::PixelBuffer::make(64, 36, platform::PixelFormat::p010);
    ASSERT_TRUE(convertBT709ToHLG(*picture, *expected));
    platform::SampleTiming t;
    t.presentationTime = platform::MediaTime::fromSeconds(static_cast<double>(i), 1'000'000'000);
    camera->setSampleBuffer(platform::SampleBuffer::makeImage(picture, t));
    for (int repeat = 0; repeat < 3; ++repeat) {
      const double tick = 1.0 + 3.0 * static_cast<double>(i) + repeat;
      const auto frame = screen.makeSampleBuffer({tick, tick + 0.016});
      ASSERT_TRUE(frame);
      const auto& f = *frame->imageBuffer();
      for (int plane = 0; plane < 2; ++plane)
        for (int r = 0; r < f.plane(plane).height; ++r)
          ASSERT_EQ(std::memcmp(f.plane(plane).data + r * f.plane(plane).bytesPerRow,
                                expected->plane(plane).data + r * expected->plane(plane).bytesPerRow,
                                static_cast<size_t>(f.plane(plane).width) * 2 * (plane + 1)),
                    0)
              << "picture " << i << ", draw " << repeat << ", plane " << plane << " row " << r;
      const auto kept = renderer.picture(*camera);
      ASSERT_TRUE(kept);
      EXPECT_EQ(kept->planes, picture) << "picture " << i << ", draw " << repeat;
    }
  }
}

TEST(HDRComposition, APictureOverADecodersMemoryIsNeverWrittenThoughTheRendererHoldsItsOnlyReference) {
  // A decoder hands on its frames as views of its own memory, which it keeps
  // decoding from. Once such a picture is drawn (once, or again without a new
  // layout) and then replaced, the renderer holds the only reference to the
  // view, yet the memory is not its to reuse, not even when the next frames
  // are 8-bit ones, whose pictures are made in reusable samples.
  constexpr int w = 64, h = 36;
  for (const int draws : {1, 2}) {
    SCOPED_TRACE(draws == 1 ? "drawn once" : "drawn twice");
    auto decoder = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(w) * h * 3 / 2);
    for (size_t i = 0; i < decoder->size(); ++i) (*decoder)[i] = static_cast<uint8_t>(16 + i * 7 % 220);
    const std::vector<uint8_t> decoded = *decoder;

    ScreenRendererByCPU renderer(DynamicRangeMode::hdr);
    renderer.setBounds({0, 0, w, h});
    auto stream = std::make_shared<StreamScreenObject>();
    stream->setSize({w, h});
    platform::SampleTiming t;
    t.presentationTime = platform::MediaTime::zero();
    const std::array<platform::PixelBuffer::Plane, 2> planes{
        platform::PixelBuffer::Plane{decoder->data(), w, 0, 0},
        platform::PixelBuffer::Plane{decoder->data() + static_cast<size_t>(w) * h, w, 0, 0}};
    stream->setSampleBuffer(platform::SampleBuffer::makeImage(
        platform::PixelBuffer::wrap(w, h, platform::PixelFormat::nv12VideoRange, planes, decoder), t));
    const auto tick = [&](platform::PixelFormat target) {
      renderer.setTarget(platform::PixelBuffer::make(w, h, target));
      if (stream->shouldInvalidateLayout()) stream->layout(renderer);
      stream->draw(renderer);
      renderer.render();
    };
    for (int i = 0; i < draws; ++i) tick(platform::PixelFormat::p010);
    // The next pictures, each of the same size, replace the view.
    for (const uint8_t luma : {100, 200, 50}) {
      stream->setSampleBuffer(platform::SampleBuffer::makeImage(testing::solidPicture(w, h, luma), t));
      tick(platform::PixelFormat::nv12VideoRange);
      EXPECT_EQ(testing::lumaAt(*renderer.target(), 10, 10), luma);
    }
    EXPECT_TRUE(*decoder == decoded) << "the decoder's memory was written over";
  }
}
}  // namespace
}  // namespace medley
