#include <gtest/gtest.h>

#include "CorvelKit/protocol/FileChunk.h"

namespace corvel::protocol {
namespace {

TEST(FileChunk, IsTheRawIdentifierFollowedByTheData) {
  UUID id = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
  auto payload = FileChunk::encode(id, asBytes("data"));
  ASSERT_TRUE(payload);
  EXPECT_EQ(hexString(*payload), "00112233445566778899aabbccddeeff" "64617461");

  auto chunk = FileChunk::parse(*payload);
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->id, id);
  EXPECT_EQ(asString(chunk->data), "data");
  EXPECT_EQ(chunk->data.data(), payload->data() + 16);  // borrowed, not copied

  auto empty = FileChunk::parse(ByteView(*payload).first(16));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->data.empty());
  EXPECT_FALSE(FileChunk::parse(ByteView(*payload).first(15)));
  EXPECT_FALSE(FileChunk::parse({}));
}

TEST(FileChunk, SenderKeepsChunksWithinTheLimit) {
  Bytes data(FileChunk::maxDataSize + 1, 0x5A);
  EXPECT_FALSE(FileChunk::encode(UUID::random(), data));
  auto full = FileChunk::encode(UUID::random(), ByteView(data).first(FileChunk::maxDataSize));
  ASSERT_TRUE(full);
  EXPECT_EQ(full->size(), 16 + 65536u);
}

}  // namespace
}  // namespace corvel::protocol
