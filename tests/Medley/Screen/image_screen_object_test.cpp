#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "Medley/Sources/Screen/ImageScreenObject.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/ScreenObjectSnapshot.h"
#include "Medley/Screen/ScreenTestSupport.h"

namespace medley {
namespace {

using Kind = ImageSourceError::Kind;

// A picture file made by ffmpeg (a tool we did not write), read back as bytes.
std::vector<uint8_t> pictureFile(const std::string& name, const std::string& filter) {
  const std::string path = ::testing::TempDir() + std::to_string(getpid()) + "_" + name;
  const std::string cmd = "ffmpeg -v error -y -f lavfi -i '" + filter + "' -frames:v 1 " + path;
  if (std::system(cmd.c_str()) != 0) return {};
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string dataURL(const std::vector<uint8_t>& bytes, const std::string& type = "image/png") {
  return "data:" + type + ";base64," + encodeBase64(bytes.data(), bytes.size());
}

Kind failure(const std::string& source) {
  ImageScreenObject o;
  try {
    o.setSource(source);
  } catch (const ImageSourceError& e) {
    return e.kind;
  }
  ADD_FAILURE() << "accepted " << source.substr(0, 40);
  return Kind::unsupported;
}

TEST(DataImageSource, LoadsPNGAndJPEGWhole) {
  const auto png = pictureFile("red.png", "color=c=red@0.5:s=64x32,format=rgba");
  const auto jpeg = pictureFile("blue.jpg", "color=c=blue:s=48x40");
  ASSERT_FALSE(png.empty());
  ASSERT_FALSE(jpeg.empty());
  ImageScreenObject o;
  o.setShouldInvalidateLayout(false);
  o.setSource(dataURL(png));
  EXPECT_TRUE(o.shouldInvalidateLayout());
  ASSERT_TRUE(o.image());
  EXPECT_EQ(o.image()->width(), 64);
  const uint8_t* p = o.image()->plane(0).data;
  EXPECT_NEAR(p[2], 255, 1);   // red
  EXPECT_NEAR(p[3], 128, 1);   // half coverage, straight alpha
  o.setSource(dataURL(jpeg, "image/jpeg"));
  EXPECT_EQ(o.image()->height(), 40);
  EXPECT_GT(o.image()->plane(0).data[0], 200);  // blue
}

TEST(DataImageSource, MalformedURLsAreRefusedAndThePictureStays) {
  const auto png = pictureFile("green.png", "color=c=green:s=16x16");
  ASSERT_FALSE(png.empty());
  const std::string good = encodeBase64(png.data(), png.size());
  EXPECT_EQ(failure("https://example.invalid/a.png"), Kind::unsupported);
  EXPECT_EQ(failure("file:///tmp/a.png"), Kind::unsupported);
  EXPECT_EQ(failure("DATA:image/png;base64," + good), Kind::unsupported);
  EXPECT_EQ(failure("not a url"), Kind::unsupported);
  EXPECT_EQ(failure(""), Kind::unsupported);
  EXPECT_EQ(failure("data:text/plain,hello%20world"), Kind::invalidDataURL);
  EXPECT_EQ(failure("data:image/png;base64,@@@@"), Kind::invalidBase64);
  EXPECT_EQ(failure("data:image/png;base64," + good.substr(0, good.size() - 1)), Kind::invalidBase64);
  EXPECT_EQ(failure("data:image/png;base64,QQ==QQ=="), Kind::invalidBase64);
  EXPECT_EQ(failure("data:image/png;base64," + encodeBase64(reinterpret_cast<const uint8_t*>("hello"), 5)),
            Kind::imageDecodingFailed);
  // A picture cut short decodes to nothing rather than to its first rows.
  const std::vector<uint8_t> cut(png.begin(), png.begin() + png.size() * 2 / 3);
  EXPECT_EQ(failure(dataURL(cut)), Kind::imageDecodingFailed);
  const auto jpeg = pictureFile("cut.jpg", "testsrc2=s=320x240");
  ASSERT_FALSE(jpeg.empty());
  EXPECT_EQ(failure(dataURL({jpeg.begin(), jpeg.begin() + jpeg.size() / 2}, "image/jpeg")), Kind::imageDecodingFailed);
  // A corrupted chunk fails its check.
  auto flipped = png;
  flipped[40] ^= 0x55;
  EXPECT_EQ(failure(dataURL(flipped)), Kind::imageDecodingFailed);
  // Too long to be taken in at all.
  EXPECT_EQ(failure("data:image/png;base64," + std::string(DataImageSource::kMaximumURLLength, 'A')), Kind::tooLarge);

  ImageScreenObject o;
  o.setSource(dataURL(png));
  const auto picture = o.image();
  o.setElements({});  // no source: logged, picture kept
  EXPECT_EQ(o.source(), std::nullopt);
  EXPECT_EQ(o.image(), picture);
  EXPECT_EQ(o.elements(), (ScreenObject::Elements{{"source", ""}}));
}

TEST(ImageScreenObject, TakesThePictureSizeAndScalesToItsOwn) {
  Screen screen;
  auto o = std::make_shared<ImageScreenObject>();
  o->setImage(testing::solidPicture(1, 1, 16));  // replaced below
  auto bgra = platform::PixelBuffer::make(640, 360, platform::PixelFormat::bgra);
  for (int y = 0; y < 360; ++y)
    for (int x = 0; x < 640; ++x) {
      uint8_t* p = bgra->plane(0).data + y * bgra->plane(0).bytesPerRow + 4 * x;
      p[0] = p[1] = p[2] = 255, p[3] = 255;
    }
  o->setImage(bgra);
  screen.addChild(o);
  auto frame = screen.makeSampleBuffer({1, 1.016});
  EXPECT_EQ(o->bounds(), (ScreenRect{0, 0, 640, 360}));
  EXPECT_EQ(testing::lumaAt(*frame->imageBuffer(), 639, 359), 235);
  EXPECT_EQ(testing::lumaAt(*frame->imageBuffer(), 640, 360), 16);

  o->setSize({320, 180});
  auto image = o->makeImage(screen.renderer());
  ASSERT_TRUE(image);
  EXPECT_DOUBLE_EQ(image->scaleX(), 0.5);
  EXPECT_DOUBLE_EQ(image->scaleY(), 0.5);
}

TEST(ImageScreenObject, ASnapshotCarriesThePicture) {
  const auto png = pictureFile("snap.png", "color=c=white:s=20x10");
  ScreenObjectSnapshot s;
  s.type = "image";
  s.id = "logo";
  s.elements = {{"source", dataURL(png)}};
  auto o = std::dynamic_pointer_cast<ImageScreenObject>(ScreenObjectFactory{}.make(s));
  ASSERT_TRUE(o && o->image());
  EXPECT_EQ(o->image()->width(), 20);
}

TEST(ImageScreenObject, AHugeObjectFromASnapshotCostsWhatTheFrameShows) {
  const auto png = pictureFile("huge.png", "color=c=white:s=20x10");
  ScreenObjectSnapshot s;
  s.type = "image";
  s.size = {40000, 40000};
  s.elements = {{"source", dataURL(png)}};
  auto o = ScreenObjectFactory{}.make(s);
  ASSERT_TRUE(o);
  Screen screen;
  screen.addChild(o);
  platform::SampleBufferRef frame;
  ASSERT_NO_THROW(frame = screen.makeSampleBuffer({1, 1.016}));
  ASSERT_TRUE(frame);
  const auto kept = static_cast<const ScreenRendererByCPU&>(screen.renderer()).picture(*o);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->width() * kept->height(), 1280 * 720);
  EXPECT_EQ(testing::lumaAt(*frame->imageBuffer(), 1279, 719), 235);
}

}  // namespace
}  // namespace medley
