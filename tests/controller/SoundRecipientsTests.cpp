#include <gtest/gtest.h>

#include "tests/support/HostRig.h"

namespace ambrel::test {
namespace {

using corvel::protocol::AudioStreamFormat;
using corvel::protocol::ClientRole;
using corvel::protocol::MessageType;

// Which clients the sound goes to, as the streams ask each one, and what a sound message is.
TEST(SoundRecipientsTest, OnlyAdmittedViewersHearAndGetAudioMessages) {
  HostRig rig;
  ASSERT_FALSE(rig.host->set(Setting::askBeforeConnecting, false));
  auto viewer = rig.join("Viewer");
  auto sharer = rig.join("Sharer", std::nullopt, KeySource::accessCode, {}, ClientRole::screenSharer);
  auto silent = rig.connect();  // connected, no hello yet: not admitted
  rig.settle();
  ASSERT_FALSE(rig.host->set(Setting::askBeforeConnecting, true));
  auto waiting = rig.join("Waiting");  // waits for approval
  EXPECT_TRUE(viewer.client->hearsSound());
  EXPECT_FALSE(sharer.client->hearsSound());
  EXPECT_FALSE(silent.client->hearsSound());
  EXPECT_FALSE(waiting.client->hearsSound());

  const AudioStreamFormat format{48000, 2, 480, corvel::Bytes{0xF8, 0xE6, 0x50, 0x00}};
  viewer.client->sendAudioFormat(format);
  viewer.client->sendAudio(corvel::Bytes{1, 2, 3});
  EXPECT_EQ(viewer.connection->last<AudioStreamFormat>(MessageType::audioFormat), format);
  ASSERT_EQ(viewer.connection->count(MessageType::audio), 1);
  EXPECT_EQ(viewer.connection->sent().back().second, (corvel::Bytes{1, 2, 3}));
}

TEST(SoundRecipientsTest, TheSettingReachesTheStreamsAtStartAndOnEveryChange) {
  HostRig rig;
  // The stored value at start (on by default), then each change.
  ASSERT_FALSE(rig.streams->shareSound.empty());
  EXPECT_TRUE(rig.streams->shareSound.back());
  EXPECT_FALSE(rig.host->set(Setting::shareSound, false));
  rig.settle();
  EXPECT_FALSE(rig.streams->shareSound.back());
  EXPECT_FALSE(rig.host->set(Setting::shareSound, true));
  rig.settle();
  EXPECT_TRUE(rig.streams->shareSound.back());
}

}  // namespace
}  // namespace ambrel::test
