#include <gtest/gtest.h>

#include "CorvelKit/input/DoubleClickSnap.h"
#include "CorvelKit/input/HotCornerGuard.h"
#include "CorvelKit/input/PointerMode.h"
#include "CorvelKit/input/RemotePointer.h"
#include "CorvelKit/input/TrackpadPointer.h"

namespace corvel::input {
namespace {

TEST(PointerMode, RawValues) {
  EXPECT_EQ(rawValue(PointerMode::touch), "touch");
  EXPECT_EQ(rawValue(PointerMode::trackpad), "trackpad");
  EXPECT_EQ(pointerMode("touch"), PointerMode::touch);
  EXPECT_EQ(pointerMode("trackpad"), PointerMode::trackpad);
  EXPECT_EQ(pointerMode("Touch"), std::nullopt);
}

TEST(TrackpadPointer, SetPositionClamps) {
  TrackpadPointer p;
  p.setPosition(1.5, -0.2);
  EXPECT_EQ(p, (TrackpadPointer{1, 0}));
  p.setPosition(0.25, 0.75);
  EXPECT_EQ(p, (TrackpadPointer{0.25, 0.75}));
}

TEST(TrackpadPointer, GainFollowsSpeed) {
  TrackpadPointer p{0.5, 0.5};
  p.move(10, 20, 900, 1000, 1000);  // gain 2
  EXPECT_DOUBLE_EQ(p.x, 0.52);
  EXPECT_DOUBLE_EQ(p.y, 0.54);

  p = {0.5, 0.5};
  p.move(100, 0, 100, 1000, 1000);  // gain 0.6
  EXPECT_DOUBLE_EQ(p.x, 0.56);

  p = {0.5, 0.5};
  p.move(100, 0, 2000, 1000, 1000);  // capped at 2.6
  EXPECT_DOUBLE_EQ(p.x, 0.76);
}

TEST(TrackpadPointer, StopsAtTheEdgesAndIgnoresEmptyViews) {
  TrackpadPointer p{0.9, 0.1};
  p.move(1000, -1000, 450, 100, 100);
  EXPECT_EQ(p, (TrackpadPointer{1, 0}));
  p.move(-10, 10, 450, 0, 100);
  p.move(-10, 10, 450, 100, -1);
  EXPECT_EQ(p, (TrackpadPointer{1, 0}));
}

TEST(DoubleClickSnap, SecondTapNearbySnapsAThirdLaterDoesNot) {
  DoubleClickSnap snap{0.4, 20, std::nullopt};
  auto first = snap.snap(1.0, 100, 100, 0.30, 0.40);
  EXPECT_EQ(first, (DoubleClickSnap::Point{0.30, 0.40}));
  auto second = snap.snap(1.2, 103, 104, 0.31, 0.41);  // 0.2 s and 5 points later
  EXPECT_EQ(second, first);
  auto third = snap.snap(1.7, 103, 104, 0.32, 0.42);  // 0.5 s after the second
  EXPECT_EQ(third, (DoubleClickSnap::Point{0.32, 0.42}));
  ASSERT_TRUE(snap.last);
  EXPECT_EQ(*snap.last, (DoubleClickSnap::Tap{1.7, 103, 104, 0.32, 0.42}));
}

TEST(DoubleClickSnap, FarAwayOrBackwardsInTimeDoesNotSnap) {
  DoubleClickSnap snap{0.4, 20, std::nullopt};
  snap.snap(1.0, 100, 100, 0.3, 0.4);
  EXPECT_EQ(snap.snap(1.1, 130, 100, 0.5, 0.5), (DoubleClickSnap::Point{0.5, 0.5}));
  EXPECT_EQ(snap.snap(1.0, 130, 100, 0.6, 0.6), (DoubleClickSnap::Point{0.6, 0.6}));  // earlier
  // Exactly at the limits does not snap either.
  snap = {0.5, 20, DoubleClickSnap::Tap{1.0, 0, 0, 0.1, 0.1}};
  EXPECT_EQ(snap.snap(1.5, 0, 0, 0.2, 0.2), (DoubleClickSnap::Point{0.2, 0.2}));
  snap = {0.4, 20, DoubleClickSnap::Tap{1.0, 0, 0, 0.1, 0.1}};
  EXPECT_EQ(snap.snap(1.1, 20, 0, 0.2, 0.2), (DoubleClickSnap::Point{0.2, 0.2}));
}

TEST(HotCornerGuard, PullsCornersInOnly) {
  EXPECT_DOUBLE_EQ(HotCornerGuard::adjust(0.005, 0.005, 400, 800, 8), 0.02);
  EXPECT_DOUBLE_EQ(HotCornerGuard::adjust(0.5, 0.005, 400, 800, 8), 0.5);
  EXPECT_DOUBLE_EQ(HotCornerGuard::adjust(0.999, 0.998, 400, 800, 8), 0.98);
  EXPECT_DOUBLE_EQ(HotCornerGuard::adjust(0.001, 0.5, 400, 800, 8), 0.001);
  EXPECT_DOUBLE_EQ(HotCornerGuard::adjust(0.005, 0.005, 0, 800, 8), 0.005);
}

TEST(RemotePointer, DragChoice) {
  using Drag = RemotePointer::Drag;
  EXPECT_EQ(RemotePointer::drag(Drag::movePointer, true, true), Drag::dragSelect);
  EXPECT_EQ(RemotePointer::drag(Drag::panZoom, false, true), Drag::clickDrag);
  EXPECT_EQ(RemotePointer::drag(Drag::panZoom, false, false), Drag::panZoom);
  EXPECT_EQ(RemotePointer::drag(Drag::movePointer, false, false), Drag::movePointer);
  EXPECT_LT(static_cast<int>(Drag::movePointer), static_cast<int>(Drag::panZoom));
  EXPECT_LT(static_cast<int>(Drag::dragSelect), static_cast<int>(Drag::clickDrag));
}

}  // namespace
}  // namespace corvel::input
