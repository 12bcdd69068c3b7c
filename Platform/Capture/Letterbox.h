#pragma once
// Where a picture of one size goes inside a frame of another so that it shows
// whole and undistorted: scaled to touch two opposite sides, centred, with bars
// on the others.
namespace platform {

struct Letterbox {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Letterbox&) const = default;

  // Empty sizes give an empty rectangle.
  static Letterbox of(int sourceWidth, int sourceHeight, int frameWidth, int frameHeight);
};

}  // namespace platform
