#include <gtest/gtest.h>

#include <thread>

#include "Ambrel_Host/controller/TextLineOrder.h"
#include "CorvelKit/protocol/ScreenText.h"
#include "tests/support/HostRig.h"

namespace ambrel::test {
namespace {

using corvel::protocol::ClientRole;
using corvel::protocol::MessageType;
using corvel::protocol::ScreenText;

TEST(TextLineOrderTest, RowsFromTheTopAndLeftToRightWithinARow) {
  EXPECT_TRUE(TextLineOrder::lines({}).empty());
  // "world" sits 0.008 lower than "Hello": the same row. "below" is a row of its own.
  EXPECT_EQ(TextLineOrder::lines({{"below", 0.1, 0.5}, {"world", 0.6, 0.892}, {"Hello", 0.1, 0.9}}),
            (std::vector<std::string>{"Hello", "world", "below"}));
  // A chain of pieces each a little lower than the last doesn't make one endless row.
  EXPECT_EQ(TextLineOrder::lines({{"c", 0.0, 0.884}, {"b", 0.5, 0.892}, {"a", 0.9, 0.9}}),
            (std::vector<std::string>{"b", "a", "c"}));
}

class ScreenReadingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(rig.host->set(Setting::askBeforeConnecting, false));
    auto frame = std::make_shared<CapturedFrame>();
    frame->width = 1920;
    frame->height = 1080;
    rig.streams->frame = frame;
  }
  // Lets the worker answer: settles until `done` or two seconds pass.
  bool waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 400 && !done(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      rig.settle();
    }
    return done();
  }
  HostRig rig;
};

TEST_F(ScreenReadingTest, ViewersGetTextAndPicturesOfTheirDisplay) {
  auto viewer = rig.join("Viewer");
  viewer.connection->deliver(MessageType::screenTextRequest, {});
  viewer.connection->deliver(MessageType::screenshotRequest, corvel::toBytes("ignored"));
  ASSERT_TRUE(waitFor([&] { return viewer.connection->count(MessageType::screenshot) == 1; }));
  ASSERT_TRUE(waitFor([&] { return viewer.connection->count(MessageType::screenText) == 1; }));
  auto text = viewer.connection->last<ScreenText>(MessageType::screenText);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->lines, std::vector<std::string>{"text of 1920x1080"});
  EXPECT_EQ(text->frontmostApp, "Editor");
  for (auto& [type, payload] : viewer.connection->sent()) {
    if (type == MessageType::screenshot) EXPECT_EQ(corvel::asString(payload), "jpeg of 1920x1080");
  }
}

TEST_F(ScreenReadingTest, RequestsWithoutAPictureOrFromSharersAreIgnored) {
  auto sharer = rig.join("Sharer", std::nullopt, KeySource::accessCode, {}, ClientRole::screenSharer);
  auto stranger = rig.connect();
  auto viewer = rig.join("Viewer");
  for (auto* p : {&sharer, &stranger}) p->connection->deliver(MessageType::screenshotRequest, {});
  rig.streams->frame.reset();  // the pipeline has no picture yet
  viewer.connection->deliver(MessageType::screenshotRequest, {});
  EXPECT_FALSE(waitFor([&] {
    return sharer.connection->count(MessageType::screenshot) + stranger.connection->count(MessageType::screenshot) +
               viewer.connection->count(MessageType::screenshot) > 0;
  }));
}

}  // namespace
}  // namespace ambrel::test
