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

// Only the rows said to have changed are converted, as whole pairs; the rest of the frame stays
// as the last call left it, until the size, the scaling or the source size changes.
TEST(FrameConverter, ConvertsOnlyTheChangedRowsOfTheSamePicture) {
  Picture p(16, 16, 0, 0, 0);
  auto paintRow = [&](int row) {
    for (int x = 0; x < 16; ++x)
      for (int k = 0; k < 3; ++k) p.bytes[static_cast<std::size_t>((row * 16 + x) * 4 + k)] = 255;
  };
  FrameConverter converter;
  (void)converter.convert(p.bytes.data(), 16 * 4, 16, 16, {16, 16}, 5, 6);  // first call: all of it
  paintRow(5);   // said to change (rows 5-6, widened to 4-6)
  paintRow(4);   // not said, but in the same pair as row 5
  paintRow(12);  // not said: stays black in the frame
  const auto& frame = converter.convert(p.bytes.data(), 16 * 4, 16, 16, {16, 16}, 5, 6);
  EXPECT_NEAR(frame.y[4 * frame.yStride], 235, 1);
  EXPECT_NEAR(frame.y[5 * frame.yStride], 235, 1);
  EXPECT_NEAR(frame.y[6 * frame.yStride], 16, 1);
  EXPECT_NEAR(frame.y[12 * frame.yStride], 16, 1);

  struct Case {
    const char* what;
    int width, height;
    FrameSize output;
  };
  for (const Case& c : {Case{"another output size", 16, 16, {8, 8}}, Case{"a cropped source", 15, 16, {14, 16}}}) {
    (void)converter.convert(p.bytes.data(), 16 * 4, 16, 16, {16, 16});
    paintRow(10);
    paintRow(11);
    const auto& f = converter.convert(p.bytes.data(), 16 * 4, c.width, c.height, c.output, 0, 0);
    EXPECT_GT(f.y[(10 * c.output.height / 16) * f.yStride], 200) << c.what << " must convert everything";
    p = Picture(16, 16, 0, 0, 0);
  }
  EXPECT_TRUE(p.guardIntact());
}

}  // namespace
}  // namespace ambrel
