#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Ambrel_Host/capture/CursorBlend.h"
#include "tests/capture/Picture.h"

namespace ambrel {
namespace {

using test::Picture;

TEST(CursorBlend, BlendsPremultipliedPixelsAndClipsAtEveryEdge) {
  // 2×2 cursor: opaque white, transparent, half-transparent premultiplied red (a=128, r=128), opaque black.
  const std::uint32_t cursor[] = {0xFFFFFFFF, 0x00000000, 0x80800000, 0xFF000000};

  Picture p(4, 4, 200, 100, 50);
  blendCursor(p.bytes.data(), 16, 4, 4, cursor, 2, 2, 1, 1);
  EXPECT_EQ(p.at(1, 1)[0], 255);  // opaque white replaces
  EXPECT_EQ(p.at(1, 1)[2], 255);
  EXPECT_EQ(p.at(2, 1)[0], 200);  // transparent leaves the picture
  // Half red: r = 128 + 50 × 127 / 255 ≈ 153, b = 0 + 200 × 127 / 255 ≈ 100.
  EXPECT_NEAR(p.at(1, 2)[2], 153, 1);
  EXPECT_NEAR(p.at(1, 2)[0], 100, 1);
  EXPECT_EQ(p.at(2, 2)[0], 0);     // opaque black
  EXPECT_EQ(p.at(0, 0)[0], 200);   // outside the cursor untouched
  EXPECT_EQ(p.at(1, 1)[3], 0);     // the X byte is left alone

  // Positions partly or wholly outside: only the overlap is drawn, nothing past the picture.
  const int positions[][2] = {{-1, -1}, {3, 3}, {3, -1}, {-1, 3}, {-2, 0}, {4, 0}, {0, 4},
                              {-100000, 5}, {2147483000, 2147483000}, {-2147483647, -2147483647}};
  for (const auto& pos : positions) {
    Picture q(4, 4, 10, 10, 10);
    blendCursor(q.bytes.data(), 16, 4, 4, cursor, 2, 2, pos[0], pos[1]);
    EXPECT_TRUE(q.guardIntact()) << pos[0] << "," << pos[1];
  }
  Picture corner(4, 4, 10, 10, 10);
  blendCursor(corner.bytes.data(), 16, 4, 4, cursor, 2, 2, -1, -1);
  EXPECT_EQ(corner.at(0, 0)[0], 0);  // the cursor's black corner pixel lands at (0, 0)
  EXPECT_EQ(corner.at(1, 0)[0], 10);
}

}  // namespace
}  // namespace ambrel
