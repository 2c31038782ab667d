#include <gtest/gtest.h>

#include <cstdint>

#include "Ambrel_Host/browser/WebSocketFrame.h"

namespace ambrel {
namespace {

using Status = WebSocketFrame::Status;

corvel::Bytes pattern(std::size_t n) {
  corvel::Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return b;
}

TEST(WebSocketFrameTest, MaskedFramesOfEveryLengthFormUnmask) {
  const std::array<std::uint8_t, 4> mask{0xA1, 0x00, 0x5C, 0xFF};
  for (std::size_t n : {0u, 1u, 125u, 126u, 1000u, 65535u, 65536u, 300000u}) {
    const auto payload = pattern(n);
    auto wire = WebSocketFrame::encodeMasked(WebSocketFrame::text, payload, mask);
    const std::size_t header = n <= 125 ? 2 : n <= 65535 ? 4 : 10;
    ASSERT_EQ(wire.size(), header + 4 + n) << n;
    EXPECT_EQ(wire[1] & 0x7F, n <= 125 ? n : n <= 65535 ? 126u : 127u) << n;
    wire.push_back(0x42);  // the start of the next frame stays in the buffer

    auto frame = WebSocketFrame::parse(wire);
    ASSERT_EQ(frame.status, Status::complete) << n;
    EXPECT_EQ(frame.opcode, WebSocketFrame::text);
    EXPECT_EQ(frame.payload, payload) << n;
    EXPECT_EQ(frame.size, wire.size() - 1);

    // Every shorter prefix asks for more.
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, header - 1, header + 3, wire.size() - 2}) {
      if (cut >= wire.size() - 1) continue;
      EXPECT_EQ(WebSocketFrame::parse(corvel::ByteView(wire).first(cut)).status, Status::needMore)
          << n << " cut at " << cut;
    }
  }
}

TEST(WebSocketFrameTest, IgnoresFinAndReservedBitsAndTakesUnmaskedFrames) {
  const corvel::Bytes wire{0x79, 0x02, 'h', 'i'};  // FIN clear, RSV set, opcode 9
  auto frame = WebSocketFrame::parse(wire);
  ASSERT_EQ(frame.status, Status::complete);
  EXPECT_EQ(frame.opcode, WebSocketFrame::ping);
  EXPECT_EQ(corvel::asString(frame.payload), "hi");
}

TEST(WebSocketFrameTest, RefusesLengthsPastTheBound) {
  auto header64 = [](std::uint64_t length) {
    corvel::Bytes b{0x82, 0xFF};
    for (int i = 7; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    return b;
  };
  EXPECT_EQ(WebSocketFrame::parse(header64(1ull << 63)).status, Status::invalid);
  EXPECT_EQ(WebSocketFrame::parse(header64(~0ull)).status, Status::invalid);
  EXPECT_EQ(WebSocketFrame::parse(header64(WebSocketFrame::maxPayloadBytes + 1)).status,
            Status::invalid);
  // At the bound the frame is merely incomplete.
  EXPECT_EQ(WebSocketFrame::parse(header64(WebSocketFrame::maxPayloadBytes)).status, Status::needMore);
  // A smaller bound applies to the 16-bit form as well, before the payload arrives.
  EXPECT_EQ(WebSocketFrame::parse(corvel::Bytes{0x81, 0x7E, 0x01, 0x00}, 255).status, Status::invalid);
}

TEST(WebSocketFrameTest, WritesUnmaskedFinalFrames) {
  struct Case {
    std::uint64_t length;
    corvel::Bytes header;
  };
  const Case cases[] = {
      {0, {0x82, 0x00}},
      {125, {0x82, 125}},
      {126, {0x82, 126, 0x00, 126}},
      {65535, {0x82, 126, 0xFF, 0xFF}},
      {65536, {0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}},
      {0x0102030405ull, {0x82, 127, 0, 0, 0, 1, 2, 3, 4, 5}},
  };
  for (const auto& c : cases) {
    auto h = WebSocketFrame::header(WebSocketFrame::binary, c.length);
    EXPECT_EQ(corvel::Bytes(h.view().begin(), h.view().end()), c.header) << c.length;
  }
  const auto pong = WebSocketFrame::encode(WebSocketFrame::pong, corvel::asBytes("abc"));
  EXPECT_EQ(pong, (corvel::Bytes{0x8A, 3, 'a', 'b', 'c'}));
}

}  // namespace
}  // namespace ambrel
