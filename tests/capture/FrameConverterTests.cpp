#include <gtest/gtest.h>

#include "Ambrel_Host/capture/FrameConverter.h"
#include "tests/capture/Picture.h"

namespace ambrel {
namespace {

using test::Picture;

// NV12 limited range: black is Y 16, white Y 235, grey chroma 128.
TEST(FrameConverter, ConvertsAndScalesIntoReusedBuffers) {
  Picture p(64, 32, 0, 0, 0);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      std::uint8_t* px = &p.bytes[static_cast<std::size_t>((y * 64 + x) * 4)];
      px[0] = px[1] = px[2] = 255;  // left half white
    }
  }
  FrameConverter converter;
  const auto& full = converter.convert(p.bytes.data(), 64 * 4, 64, 32, {64, 32});
  ASSERT_TRUE(full.isValid());
  EXPECT_EQ(full.width, 64);
  EXPECT_NEAR(full.y[5 * full.yStride + 10], 235, 1);
  EXPECT_NEAR(full.y[5 * full.yStride + 50], 16, 1);
  EXPECT_NEAR(full.uv[2 * full.uvStride + 10], 128, 1);

  const auto& half = converter.convert(p.bytes.data(), 64 * 4, 64, 32, {32, 16});
  EXPECT_EQ(half.width, 32);
  EXPECT_EQ(half.height, 16);
  EXPECT_NEAR(half.y[4 * half.yStride + 4], 235, 1);
  EXPECT_NEAR(half.y[4 * half.yStride + 28], 16, 1);

  // An odd source rounded down to even is cropped, not resampled: edges stay sharp.
  const auto& cropped = converter.convert(p.bytes.data(), 64 * 4, 63, 31, {62, 30});
  EXPECT_EQ(cropped.y[0 * cropped.yStride + 31], 235);
  EXPECT_EQ(cropped.y[0 * cropped.yStride + 32], 16);
}

}  // namespace
}  // namespace ambrel
