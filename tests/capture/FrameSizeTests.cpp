#include <gtest/gtest.h>

#include "Ambrel_Host/capture/FrameSize.h"

namespace ambrel {
namespace {

struct SizeCase {
  int width, height, maxWidth;
  FrameSize expected;
};

TEST(FrameSize, ScalesDownToTheCapKeepingAspectAndEvenSides) {
  const SizeCase cases[] = {
      {5120, 2880, 2304, {2304, 1296}},  // a 5K panel on the balanced preset
      {1920, 1080, 3840, {1920, 1080}},  // never scaled up
      {1920, 1080, 1920, {1920, 1080}},  // exactly at the cap
      {1920, 1081, 3840, {1920, 1080}},  // odd height rounded down
      {1921, 1080, 3840, {1920, 1080}},  // odd width rounded down
      {1920, 1080, 1600, {1600, 900}},   // smooth preset
      {1920, 1200, 1366, {1366, 852}},   // 1200 × 1366 / 1920 = 853.75 → 853 → 852
      {1920, 1080, 1279, {1278, 718}},   // odd cap: 1080 × 1279 / 1920 = 719.4 → 719 → 718
      {3840, 2160, 1280, {1280, 720}},
      {32767, 32767, 2304, {2304, 2304}},  // the product is taken in 64 bits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FrameSize::forCapture(c.width, c.height, c.maxWidth), c.expected)
        << c.width << "x" << c.height << " capped at " << c.maxWidth;
  }
}

TEST(FrameSize, DegenerateCapsAndSourcesStillGiveAnEncodableSize) {
  const SizeCase cases[] = {
      {1920, 1080, 0, {1920, 1080}},   // no cap
      {1920, 1080, -5, {1920, 1080}},  // no cap, not a negative width
      {1920, 1080, 1, {2, 2}},         // 1 × 1080 / 1920 = 0 → at least 2
      {8000, 10, 100, {100, 2}},       // a very wide strip
      {1, 1, 0, {2, 2}},
      {0, 0, 2304, {2, 2}},
  };
  for (const auto& c : cases) {
    const auto size = FrameSize::forCapture(c.width, c.height, c.maxWidth);
    EXPECT_EQ(size, c.expected) << c.width << "x" << c.height << " capped at " << c.maxWidth;
  }
}

}  // namespace
}  // namespace ambrel
