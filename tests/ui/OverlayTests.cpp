#include <cmath>
#include <cstdlib>

#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

#include "Ambrel_Host/overlays/HostOverlays.h"
#include "Ambrel_Host/ui/AnnotationLayer.h"
#include "Ambrel_Host/ui/BorderWindow.h"
#include "Ambrel_Host/ui/ControlPill.h"
#include "Ambrel_Host/ui/OverlayWidgets.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel::test {
namespace {

using corvel::protocol::AnnotationEvent;
using corvel::protocol::AnnotationStroke;

const DisplayBounds kLeft{0, 0, 640, 400};
const DisplayBounds kRight{640, 0, 640, 400};

void pump() {
  for (int i = 0; i < 5; ++i) {
    QApplication::sendPostedEvents();
    QApplication::processEvents();
    QTest::qWait(20);
  }
}

QColor screenAt(int x, int y) {
  return QGuiApplication::primaryScreen()->grabWindow(0, x, y, 1, 1).toImage().pixelColor(0, 0);
}

// The host's overlays as the controller drives them, drawn by the real windows. No curtain here:
// Xvfb has no gamma ramps (the curtain has its own test on the dummy Xorg server).
struct OverlayRig {
  corvel::test::TemporaryFolder folder;
  int stops = 0;
  OverlayWidgets widgets{[this] { ++stops; }};
  HostOverlays overlays{HostOverlays::Options{
      {}, folder.path() / "curtain.json", {}, "", nullptr,
      [](std::uint32_t id) -> std::optional<DisplayBounds> {
        if (id == 1) return kLeft;
        if (id == 2) return kRight;
        return std::nullopt;
      }}};

  OverlayRig() {
    overlays.setWindows(widgets.windows());
    pump();
  }
};

TEST(OverlayTest, BorderAndPillNameWhoIsInControlAndMoveWithTheirDisplay) {
  OverlayRig r;
  OverlayState state{true, 1, {"Phone", "Pad"}, false, false};
  r.overlays.refresh(state);
  pump();
  auto* border = r.widgets.border();
  auto* pill = r.widgets.pill();
  ASSERT_NE(border, nullptr);
  ASSERT_NE(pill, nullptr);
  EXPECT_TRUE(border->isVisible());
  EXPECT_EQ(border->geometry(), QRect(0, 0, 640, 400));
  EXPECT_EQ(border->tint(), controlTint(false));
  EXPECT_EQ(pill->text(), "Phone, Pad is controlling this computer");
  EXPECT_LE(std::abs(pill->geometry().center().x() - 320), 1);
  EXPECT_EQ(pill->geometry().top(), ControlPill::topMargin);
  // The border is a frame: the middle of the display shows what is beneath.
  EXPECT_EQ(screenAt(2, 200), controlTint(false));
  EXPECT_NE(screenAt(320, 200), controlTint(false));

  // A support session on the other display: the same windows move, orange.
  r.overlays.refresh({true, 2, {"Helper"}, true, false});
  pump();
  EXPECT_EQ(r.widgets.border(), border);
  EXPECT_EQ(r.widgets.pill(), pill);
  EXPECT_EQ(border->geometry(), QRect(640, 0, 640, 400));
  EXPECT_EQ(border->tint(), controlTint(true));
  EXPECT_EQ(pill->text(), "Support session · Helper");

  QTest::mouseClick(pill->stopButton(), Qt::LeftButton);
  EXPECT_EQ(r.stops, 1);

  r.overlays.refresh({});
  pump();
  EXPECT_FALSE(border->isVisible());
  EXPECT_FALSE(pill->isVisible());
}

TEST(OverlayTest, StrokesAreDrawnInTheirColourAndClearedAndFaultyOnesAreSkipped) {
  OverlayRig r;
  // A red line across the left display's middle, 1/64 of its width thick.
  AnnotationStroke red{corvel::UUID::random(), {0.25f, 0.5f, 0.75f, 0.5f}, {1, 0, 0, 1}, 1.0f / 64};
  r.overlays.draw(AnnotationEvent::Stroke{red}, 1);
  pump();
  auto* layer = r.widgets.annotations();
  ASSERT_NE(layer, nullptr);
  EXPECT_TRUE(layer->isVisible());
  EXPECT_EQ(layer->geometry(), QRect(0, 0, 640, 400));
  EXPECT_EQ(screenAt(320, 200), QColor(255, 0, 0));
  EXPECT_NE(screenAt(320, 150), QColor(255, 0, 0));

  r.overlays.draw(AnnotationEvent::Clear{}, 1);
  pump();
  EXPECT_FALSE(layer->isVisible());
  EXPECT_TRUE(r.overlays.strokes().empty());
  // Clearing again with nothing drawn leaves it hidden.
  r.overlays.clearAnnotations();
  pump();
  EXPECT_FALSE(layer->isVisible());

  // What only a faulty client sends: drawn where it can be, skipped where it can't.
  struct Case {
    const char* what;
    AnnotationStroke stroke;
    bool drawn;
  };
  const Case cases[] = {
      {"three colour parts", {corvel::UUID::random(), {0.1f, 0.1f, 0.9f, 0.9f}, {1, 0, 0}, 0.01f}, false},
      {"one point", {corvel::UUID::random(), {0.5f, 0.5f}, {1, 0, 0, 1}, 0.01f}, false},
      {"no points", {corvel::UUID::random(), {}, {1, 0, 0, 1}, 0.01f}, false},
      {"not a number", {corvel::UUID::random(), {0.1f, NAN, 0.9f, 0.9f}, {1, 0, 0, 1}, 0.01f}, false},
      {"trailing odd value", {corvel::UUID::random(), {0.1f, 0.1f, 0.9f, 0.9f, 0.5f}, {0, 0, 1, 1}, 0.01f}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(AnnotationLayer::outline(c.stroke, QSizeF(640, 400)).isEmpty(), !c.drawn);
    r.overlays.draw(AnnotationEvent::Stroke{c.stroke}, 1);
    pump();
    EXPECT_EQ(layer->isVisible(), c.drawn);
    r.overlays.draw(AnnotationEvent::Clear{}, 1);
    pump();
  }
  auto odd = cases[4].stroke;
  auto even = odd;
  even.points.pop_back();
  EXPECT_EQ(AnnotationLayer::outline(odd, QSizeF(640, 400)), AnnotationLayer::outline(even, QSizeF(640, 400)));
}

}  // namespace
}  // namespace ambrel::test
