#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

#include "CorvelKit/protocol/SharerInfo.h"
#include "tests/media/EncodedClip.h"
#include "tests/ui/DesktopRig.h"
#include "Ambrel_Host/ui/ShareWindowSet.h"

namespace ambrel::test {
namespace {

using corvel::protocol::MessageType;

// A portrait picture, red above and blue below.
std::shared_ptr<SharedPicture> redOverBlue(int width, int height) {
  auto p = std::make_shared<SharedPicture>();
  p->width = width;
  p->height = height;
  p->pixels.resize(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      auto* px = &p->pixels[(static_cast<std::size_t>(y) * width + x) * 4];
      const bool top = y < height / 2;
      px[0] = top ? 0 : 255;  // B
      px[1] = 0;              // G
      px[2] = top ? 255 : 0;  // R
      px[3] = 255;
    }
  }
  return p;
}

// Where the picture's top ends up, and the window's shape, for each way the sharer turns it.
TEST(ScreenShareWindowTest, TurnsAndFitsThePictureAsTheSharerSays) {
  struct Case {
    std::uint32_t orientation;
    const char* redSide;  // where the picture's top half shows
    bool landscape;
  };
  const Case cases[] = {{1, "top", false}, {3, "bottom", false}, {6, "right", true}, {8, "left", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.orientation);
    ScreenShareWindow window("Tablet's Screen", nullptr);
    window.setPicture(redOverBlue(117, 253));
    window.setOrientation(c.orientation);
    EXPECT_EQ(window.videoSize(), QSize(117, 253));
    EXPECT_NEAR(window.aspectRatio(), c.landscape ? 253.0 / 117 : 117.0 / 253, 1e-9);
    EXPECT_NEAR(static_cast<double>(window.width()) / window.height(), window.aspectRatio(), 0.02);
    const auto image = window.grab().toImage();
    const QPoint centre(image.width() / 2, image.height() / 2);
    const int dx = image.width() / 4, dy = image.height() / 4;
    const std::map<std::string, QPoint> sides = {{"top", centre - QPoint(0, dy)},
                                                 {"bottom", centre + QPoint(0, dy)},
                                                 {"left", centre - QPoint(dx, 0)},
                                                 {"right", centre + QPoint(dx, 0)}};
    EXPECT_EQ(image.pixelColor(sides.at(c.redSide)), QColor(255, 0, 0));
  }
  // A picture without a size changes nothing.
  ScreenShareWindow window("Tablet's Screen", nullptr);
  auto empty = std::make_shared<SharedPicture>();
  window.setPicture(empty);
  EXPECT_EQ(window.videoSize(), QSize(1170, 2532));
}

// A screen sharer's video is decoded into its own window, titled with its name; the window turns
// with its sharerInfo, closes when it leaves, and closing the window stops it.
TEST(ScreenShareWindowTest, ASharersStreamShowsInItsWindowUntilEitherSideEndsIt) {
  DesktopRig d;
  ShareWindowSet set;
  d.rig.host->screenShares().setWindows(set.windows());
  auto tablet = d.rig.join("Tablet", std::nullopt, KeySource::accessCode, {},
                           corvel::protocol::ClientRole::screenSharer);
  d.pump();
  ASSERT_TRUE(tablet.client->authorized());
  auto* window = set.window(tablet.client->id());
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->windowTitle(), "Tablet's Screen");
  EXPECT_TRUE(window->isVisible());

  for (const auto& packet : corvel::media::testing::encodedClip(corvel::media::VideoCodec::h264, 320, 240, 3)) {
    tablet.connection->deliver(MessageType::video, packet.encoded());
  }
  tablet.connection->deliverJSON(MessageType::sharerInfo, corvel::protocol::SharerInfo{6});
  d.pump();
  EXPECT_EQ(window->videoSize(), QSize(320, 240));
  EXPECT_EQ(window->orientation(), 6u);

  // The person closes the window: the sharer is stopped.
  window->close();
  d.pump();
  EXPECT_EQ(tablet.connection->byeReason(), "The computer closed the shared screen.");

  // Another sharer leaves by itself: its window goes.
  auto phone = d.rig.join("Phone", std::nullopt, KeySource::accessCode, {},
                          corvel::protocol::ClientRole::screenSharer);
  d.pump();
  ASSERT_NE(set.window(phone.client->id()), nullptr);
  phone.connection->hangUp();
  d.pump();
  EXPECT_EQ(set.window(phone.client->id()), nullptr);
}

}  // namespace
}  // namespace ambrel::test
