#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "CorvelKit/protocol/CorvelFramer.h"

namespace corvel::protocol {
namespace {

struct Frame {
  MessageType type;
  Bytes payload;
  friend bool operator==(const Frame&, const Frame&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Frame& f) {
    return os << name(f.type) << ":" << hexString(f.payload);
  }
};

// Feeds `stream` to a fresh framer in chunks of `chunkSize` bytes and returns what came out.
std::vector<Frame> parseInChunks(ByteView stream, std::size_t chunkSize) {
  CorvelFramer framer;
  std::vector<Frame> frames;
  for (std::size_t at = 0; at < stream.size(); at += chunkSize) {
    framer.feed(stream.subspan(at, std::min(chunkSize, stream.size() - at)),
                [&](MessageType type, ByteView payload) {
                  frames.push_back({type, Bytes(payload.begin(), payload.end())});
                });
  }
  EXPECT_TRUE(framer.atFrameBoundary());
  return frames;
}

Bytes header(std::uint32_t type, std::uint32_t length) {
  Bytes out;
  ByteWriter w(out);
  w.u32(type);
  w.u32(length);
  return out;
}

TEST(CorvelFramer, WritesBigEndianTypeAndLengthBeforeThePayload) {
  EXPECT_EQ(hexString(*CorvelFramer::frame(MessageType::hello, asBytes("abc"))),
            "00000001" "00000003" "616263");
  EXPECT_EQ(hexString(*CorvelFramer::frame(MessageType::secureFinish, {})), "0000002a" "00000000");
  // A message without a type goes out as type 0.
  EXPECT_EQ(hexString(*CorvelFramer::frame(std::nullopt, asBytes("x"))), "00000000" "00000001" "78");

  std::uint8_t h[CorvelFramer::headerSize];
  ASSERT_TRUE(CorvelFramer::writeHeader(MessageType::video, 0xFFFFFFFFu, h));
  EXPECT_EQ(hexString(h), "00000003ffffffff");
  EXPECT_FALSE(CorvelFramer::writeHeader(MessageType::video, 0x1'0000'0000ull, h));
}

// A stream with the cases that matter: empty payloads, unassigned type numbers (which keep
// their payload and must not desynchronise the stream), the handshake range and large frames.
TEST(CorvelFramer, EverySplitOfTheStreamYieldsTheSameFrames) {
  Bytes big(70000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);

  Bytes stream;
  auto add = [&](std::uint32_t rawType, ByteView payload) {
    append(stream, header(rawType, static_cast<std::uint32_t>(payload.size())));
    append(stream, payload);
  };
  add(1, asBytes("{\"deviceName\":\"x\"}"));
  add(7, {});                    // empty payload
  add(35, asBytes("unknown"));   // unassigned: arrives as invalid, payload intact
  add(8, asBytes("ping"));
  add(40, asBytes("client hello"));
  add(28, asBytes("not a handshake"));
  add(0xFFFFFFFF, {});
  add(3, big);
  add(42, asBytes("!"));
  add(9, {});

  const std::vector<Frame> expected = {
      {MessageType::hello, toBytes("{\"deviceName\":\"x\"}")},
      {MessageType::keyframeRequest, {}},
      {MessageType::invalid, toBytes("unknown")},
      {MessageType::ping, toBytes("ping")},
      {MessageType::secureClientHello, toBytes("client hello")},
      {MessageType::invalid, toBytes("not a handshake")},
      {MessageType::invalid, {}},
      {MessageType::video, big},
      {MessageType::secureFinish, toBytes("!")},
      {MessageType::pong, {}},
  };
  for (std::size_t chunk : {stream.size(), std::size_t{1}, std::size_t{2}, std::size_t{3},
                            std::size_t{5}, std::size_t{8}, std::size_t{9}, std::size_t{13},
                            std::size_t{4096}, std::size_t{16384}}) {
    EXPECT_EQ(parseInChunks(stream, chunk), expected) << "chunks of " << chunk;
  }
}

TEST(CorvelFramer, HeaderInTwoPiecesGivesOneFrameOnceThePayloadIsThere) {
  Bytes stream = *CorvelFramer::frame(MessageType::chat, asBytes("hi"));
  CorvelFramer framer;
  std::vector<Frame> frames;
  auto collect = [&](MessageType type, ByteView payload) {
    frames.push_back({type, Bytes(payload.begin(), payload.end())});
  };
  framer.feed(ByteView(stream).first(3), collect);
  EXPECT_TRUE(frames.empty());
  EXPECT_EQ(framer.bufferedBytes(), 3u);
  framer.feed(ByteView(stream).subspan(3, 5), collect);
  EXPECT_TRUE(frames.empty());
  EXPECT_FALSE(framer.atFrameBoundary());
  framer.feed(ByteView(stream).subspan(8), collect);
  EXPECT_EQ(frames, (std::vector<Frame>{{MessageType::chat, toBytes("hi")}}));
  EXPECT_TRUE(framer.atFrameBoundary());
}

TEST(CorvelFramer, FramesInsideOneChunkAreDeliveredInPlace) {
  Bytes stream = *CorvelFramer::frame(MessageType::video, asBytes("frame one"));
  ASSERT_TRUE(CorvelFramer::appendFrame(stream, MessageType::audio, asBytes("frame two")));
  CorvelFramer framer;
  std::vector<const std::uint8_t*> where;
  framer.feed(stream, [&](MessageType, ByteView payload) { where.push_back(payload.data()); });
  ASSERT_EQ(where.size(), 2u);
  EXPECT_EQ(where[0], stream.data() + 8);
  EXPECT_EQ(where[1], stream.data() + 8 + 9 + 8);
  EXPECT_EQ(framer.bufferedCapacity(), 0u);
}

TEST(CorvelFramer, AnnouncedLengthAllocatesNothingBeforeTheBytesArrive) {
  CorvelFramer framer;
  int frames = 0;
  auto count = [&](MessageType, ByteView) { ++frames; };
  Bytes lie = header(3, 0xFFFFFFFF);
  lie.resize(lie.size() + 100, 0x55);
  framer.feed(lie, count);
  framer.feed(Bytes(100, 0x66), count);
  EXPECT_EQ(frames, 0);
  EXPECT_EQ(framer.bufferedBytes(), 8u + 200u);
  EXPECT_LT(framer.bufferedCapacity(), 4096u);
}

TEST(CorvelFramer, AHeaderBeyondThePayloadLimitStopsTheStream) {
  CorvelFramer framer;
  framer.setPayloadLimit(16);
  std::vector<std::size_t> sizes;
  auto collect = [&](MessageType, ByteView payload) { sizes.push_back(payload.size()); };
  Bytes stream = header(8, 16);
  stream.resize(stream.size() + 16, 1);
  Bytes big = header(8, 17);
  stream.insert(stream.end(), big.begin(), big.end());
  Bytes after = header(8, 1);
  after.push_back(2);
  stream.insert(stream.end(), after.begin(), after.end());
  // Split after the oversized header's first byte: the limit applies to gathered headers too.
  framer.feed(ByteView(stream).first(8 + 16 + 1), collect);
  EXPECT_FALSE(framer.oversized());
  framer.feed(ByteView(stream).subspan(8 + 16 + 1), collect);
  EXPECT_TRUE(framer.oversized());
  EXPECT_EQ(sizes, std::vector<std::size_t>{16});
  framer.feed(after, collect);  // nothing more is read
  EXPECT_EQ(sizes.size(), 1u);
}

// A reader that takes large frames over once their header is in and reads the rest of the
// payload itself, as a connection does, must see the stream exactly as a plain feed does, however
// the stream is cut.
TEST(CorvelFramer, TakingPartialFramesOverYieldsTheSameFramesForEverySplit) {
  Bytes big(70000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 13);
  Bytes stream;
  std::vector<Frame> expected;
  auto add = [&](MessageType type, ByteView payload) {
    ASSERT_TRUE(CorvelFramer::appendFrame(stream, type, payload));
    expected.push_back({type, Bytes(payload.begin(), payload.end())});
  };
  add(MessageType::ping, asBytes("p"));
  add(MessageType::video, big);
  add(MessageType::video, ByteView(big).first(100));  // below the take-over size
  add(MessageType::chat, {});
  add(MessageType::video, ByteView(big).first(1000));  // exactly the take-over size
  add(MessageType::video, big);
  add(MessageType::pong, {});

  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{8}, std::size_t{9},
                            std::size_t{999}, std::size_t{4096}, std::size_t{16384}, stream.size()}) {
    SCOPED_TRACE("chunks of " + std::to_string(chunk));
    CorvelFramer framer;
    std::vector<Frame> frames;
    auto collect = [&](MessageType type, ByteView payload) {
      frames.push_back({type, Bytes(payload.begin(), payload.end())});
    };
    Bytes own;  // the reader's buffer, traded with the framer's
    std::optional<CorvelFramer::PartialFrame> taken;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min(chunk, stream.size() - at);
      if (taken) {
        // Reads straight into place, never past the frame's end.
        const std::size_t want = std::min(n, taken->length - own.size());
        own.insert(own.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                   stream.begin() + static_cast<std::ptrdiff_t>(at + want));
        at += want;
        if (own.size() == taken->length) {
          frames.push_back({taken->type, own});
          own.clear();
          taken.reset();
        }
        continue;
      }
      framer.feed(ByteView(stream).subspan(at, n), collect);
      at += n;
      taken = framer.takePartialFrame(own, 1000);
      if (taken) EXPECT_TRUE(framer.atFrameBoundary());
    }
    EXPECT_FALSE(taken);
    EXPECT_TRUE(framer.atFrameBoundary());
    EXPECT_EQ(frames, expected);
  }
}

TEST(CorvelFramer, NothingIsTakenWithoutACompleteHeader) {
  Bytes stream = *CorvelFramer::frame(MessageType::video, Bytes(5000, 0x11));
  CorvelFramer framer;
  Bytes own;
  auto none = [](MessageType, ByteView) { ADD_FAILURE() << "no frame is complete"; };
  EXPECT_FALSE(framer.takePartialFrame(own));  // between frames
  framer.feed(ByteView(stream).first(5), none);
  EXPECT_FALSE(framer.takePartialFrame(own));  // half a header
  framer.feed(ByteView(stream).subspan(5, 3), none);
  auto taken = framer.takePartialFrame(own);  // a header and no payload yet
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->type, MessageType::video);
  EXPECT_EQ(taken->length, 5000u);
  EXPECT_TRUE(own.empty());

  // A header beyond the limit stops the stream; it is not handed over.
  CorvelFramer limited;
  limited.setPayloadLimit(10);
  limited.feed(*CorvelFramer::frame(MessageType::video, Bytes(11)), none);
  EXPECT_TRUE(limited.oversized());
  EXPECT_FALSE(limited.takePartialFrame(own));
}

TEST(CorvelFramer, ReleasesALargeGatheringBufferAfterItsFrame) {
  Bytes payload(1 << 20, 0xAB);
  Bytes stream = *CorvelFramer::frame(MessageType::screenshot, payload);
  CorvelFramer framer;
  std::size_t delivered = 0;
  auto take = [&](MessageType, ByteView p) { delivered = p.size(); };
  framer.feed(ByteView(stream).first(1000), take);
  framer.feed(ByteView(stream).subspan(1000), take);
  EXPECT_EQ(delivered, payload.size());
  EXPECT_EQ(framer.bufferedCapacity(), 0u);
}

}  // namespace
}  // namespace corvel::protocol
