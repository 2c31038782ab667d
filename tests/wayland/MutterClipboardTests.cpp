#include <gtest/gtest.h>

#include <thread>

#include "Ambrel_Host/wayland/MutterClipboard.h"
#include "Ambrel_Host/wayland/MutterDisplaySource.h"
#include "tests/support/HeadlessMutter.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 200; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(25ms);
  }
  return false;
}

// Two clipboards on one headless mutter stand for the host and another program: what one takes,
// the other sees as one change with its text, in both directions; the taker doesn't count its own
// write twice.
TEST(MutterClipboardTest, TextGoesBothWaysAndOwnWritesCountOnce) {
  if (!corvel::test::HeadlessMutter::available()) GTEST_SKIP() << "mutter missing";
  corvel::test::HeadlessMutter desktop({"640x480"});
  ASSERT_TRUE(desktop.isRunning()) << desktop.errors();
  auto host = MutterClipboard::open(desktop.busAddress());
  auto other = MutterClipboard::open(desktop.busAddress());
  ASSERT_TRUE(host);
  ASSERT_TRUE(other);

  const auto before = (*other)->read().changeCount;
  const auto written = (*host)->write("héllo from the host");
  EXPECT_EQ((*host)->read().text, "héllo from the host");
  ASSERT_TRUE(eventually([&] {
    auto s = (*other)->read();
    return s.changeCount > before && !s.pending && s.text == "héllo from the host";
  })) << (*other)->read().text.value_or("<none>");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ((*host)->read().changeCount, written);

  (*other)->write("and back");
  ASSERT_TRUE(eventually([&] {
    auto s = (*host)->read();
    return s.changeCount == written + 1 && !s.pending && s.text == "and back";
  })) << (*host)->read().text.value_or("<none>");
}

TEST(MutterDisplaySourceTest, ListsTheVirtualMonitorsWithTheFirstAsMain) {
  if (!corvel::test::HeadlessMutter::available()) GTEST_SKIP() << "mutter missing";
  corvel::test::HeadlessMutter desktop({"800x600", "640x480"});
  ASSERT_TRUE(desktop.isRunning()) << desktop.errors();
  auto source = MutterDisplaySource::open(desktop.busAddress());
  ASSERT_TRUE(source);
  auto displays = (*source)->displays();
  ASSERT_TRUE(displays);
  ASSERT_EQ(displays->size(), 2u);
  const auto& a = (*displays)[0];
  const auto& b = (*displays)[1];
  EXPECT_EQ(a.name, "Meta-0");
  EXPECT_TRUE(a.isMain);
  EXPECT_EQ(a.id, MutterMonitor::identifierOf("Meta-0"));
  EXPECT_EQ(a.width, 800);
  EXPECT_EQ(a.height, 600);
  EXPECT_EQ(b.name, "Meta-1");
  EXPECT_FALSE(b.isMain);
  EXPECT_EQ(b.width, 640);
  EXPECT_EQ(b.height, 480);
  // Side by side, without overlap.
  EXPECT_TRUE(b.x >= a.x + a.width || b.y >= a.y + a.height) << b.x << "," << b.y;
}

}  // namespace
}  // namespace ambrel
