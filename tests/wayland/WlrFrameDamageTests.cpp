#include <gtest/gtest.h>

#include <vector>

#include "Ambrel_Host/wayland/WlrFrameDamage.h"

namespace ambrel {
namespace {

struct Rect {
  int x, y, width, height;
};

TEST(WlrFrameDamage, RowsOfThePictureThatChanged) {
  struct Case {
    const char* what;
    std::vector<Rect> damage;
    int height;
    bool yInvert;
    WlrFrameDamage::Rows rows;
  };
  const Case cases[] = {
      {"nothing", {}, 100, false, {0, 0}},
      {"one rectangle", {{5, 10, 20, 30}}, 100, false, {10, 40}},
      {"rectangles apart join", {{0, 10, 5, 5}, {50, 60, 5, 10}}, 100, false, {10, 70}},
      {"past the bottom is cut", {{0, 90, 10, 50}}, 100, false, {90, 100}},
      {"wholly outside", {{0, 200, 10, 10}}, 100, false, {0, 0}},
      {"empty rectangles count for nothing", {{0, 10, 0, 5}, {0, 20, 5, 0}}, 100, false, {0, 0}},
      {"upside-down buffer", {{0, 10, 5, 20}}, 100, true, {70, 90}},
      {"upside-down, cut", {{0, 95, 5, 20}}, 100, true, {0, 5}},
      {"huge numbers don't wrap", {{0, 2147483000, 1, 2147483000}}, 100, false, {0, 0}},
  };
  for (const auto& c : cases) {
    WlrFrameDamage damage;
    for (const auto& r : c.damage) damage.add(r.x, r.y, r.width, r.height);
    EXPECT_EQ(damage.pictureRows(c.height, c.yInvert), c.rows) << c.what;
  }
}

TEST(WlrFrameDamage, ClearStartsAgain) {
  WlrFrameDamage damage;
  damage.add(0, 10, 10, 10);
  EXPECT_FALSE(damage.empty());
  damage.clear();
  EXPECT_TRUE(damage.empty());
  EXPECT_TRUE(damage.pictureRows(100, false).empty());
  damage.add(0, 50, 10, 2);
  EXPECT_EQ(damage.pictureRows(100, false), (WlrFrameDamage::Rows{50, 52}));
}

}  // namespace
}  // namespace ambrel
