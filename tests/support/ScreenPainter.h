#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace corvel::media {
struct DecodedPicture;
}

namespace corvel::test {

// A small X client that puts known pictures on the screen for capture tests: windows above
// everything else (no window manager is needed), filled with one colour or with a pattern that
// changes on every call. Each call returns once the server has drawn it.
class ScreenPainter {
 public:
  explicit ScreenPainter(const std::string& displayName);
  ~ScreenPainter();
  ScreenPainter(const ScreenPainter&) = delete;
  ScreenPainter& operator=(const ScreenPainter&) = delete;

  bool isConnected() const;

  // A window over the rectangle in one colour (0xRRGGBB).
  void fill(int x, int y, int width, int height, std::uint32_t rgb);
  // Covers the rectangle with pseudo-random pixels from `seed`: a picture that hardly
  // compresses, different for every seed.
  void noise(int x, int y, int width, int height, std::uint32_t seed);
  // Shows rows [offset, offset + height) of a ScrollingPage in a window over the rectangle. A
  // later call with a larger offset scrolls: what is still in view moves up inside the server
  // and only the rows that come in are sent, as a program scrolling its window does.
  void scrolledPage(int x, int y, int width, int height, int offset);

  // What the screen shows at a point (0xRRGGBB), read back from the server.
  std::uint32_t pixel(int x, int y) const;
  // Moves the pointer through XTest, as a person's mouse would, and where it is now.
  void movePointer(int x, int y);
  std::pair<int, int> pointer() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The colour (0xRRGGBB) a decoded picture shows at a point, read as BT.601 limited range.
std::uint32_t rgbAt(const media::DecodedPicture& picture, int x, int y);
// How far apart two colours are: the largest difference of one channel.
int colourDistance(std::uint32_t a, std::uint32_t b);

}  // namespace corvel::test
