#include <gtest/gtest.h>

#include "Ambrel_Host/capture/DesktopBackendChooser.h"

namespace ambrel {
namespace {

using Facts = DesktopBackendChooser::Facts;
using Kind = DesktopBackendChooser::Kind;

TEST(DesktopBackendChooserTest, DecidesFromTheSessionAndTheBus) {
  struct Case {
    const char* what;
    Facts facts;
    Kind kind;
  };
  const Case cases[] = {
      {"X server only", {":0", std::nullopt, "", false, false, false}, Kind::x11},
      {"X11 by session type, even with a Wayland socket", {":0", "wayland-0", "x11", true, true, false}, Kind::x11},
      {"nothing at all: the host's own virtual display", {std::nullopt, std::nullopt, "tty", false, false, false}, Kind::x11},
      {"Wayland with Xwayland and mutter", {":0", "wayland-0", "wayland", true, true, false}, Kind::mutter},
      {"Wayland socket without a session type", {std::nullopt, "wayland-0", "", true, false, false}, Kind::mutter},
      {"Wayland by session type alone", {std::nullopt, std::nullopt, "wayland", true, false, false}, Kind::mutter},
      {"X display beside a Wayland session type", {":0", std::nullopt, "wayland", true, false, false}, Kind::mutter},
      {"Wayland without mutter: the portal", {std::nullopt, "wayland-1", "wayland", false, true, false}, Kind::portal},
      {"wlroots before the portal", {std::nullopt, "wayland-1", "wayland", false, true, true}, Kind::wlroots},
      {"mutter before wlroots", {std::nullopt, "wayland-0", "", true, false, true}, Kind::mutter},
      {"wlroots on an X11 session is not used", {":0", "wayland-0", "x11", false, false, true}, Kind::x11},
      {"Wayland with none of them", {":1", "wayland-1", "wayland", false, false, false}, Kind::none},
  };
  for (const auto& c : cases) {
    const auto choice = DesktopBackendChooser::decide(c.facts);
    EXPECT_EQ(choice.kind, c.kind) << c.what << ": " << choice.reason;
    EXPECT_FALSE(choice.reason.empty()) << c.what;
  }
}

TEST(DesktopBackendChooserTest, ReasonsSayWhatWasFound) {
  auto mutter = DesktopBackendChooser::decide({std::nullopt, "wayland-0", "wayland", true, false, false});
  EXPECT_EQ(mutter.reason,
            "Wayland session (WAYLAND_DISPLAY=wayland-0) with mutter's RemoteDesktop and ScreenCast interfaces on "
            "the session bus");
  auto x11 = DesktopBackendChooser::decide({":3", std::nullopt, "", false, false, false});
  EXPECT_EQ(x11.reason, "X11 session (DISPLAY=:3, no WAYLAND_DISPLAY)");
  auto none = DesktopBackendChooser::decide({std::nullopt, "wayland-0", "wayland", false, false, false});
  EXPECT_NE(none.reason.find("neither mutter's remote-desktop interfaces, nor the wlroots protocols, nor the desktop portal"), std::string::npos);

  // A backend that can't be had still gives the host parts that fail cleanly, and says why.
  auto backend = DesktopBackendChooser::build(none);
  EXPECT_EQ(backend.name, "none");
  EXPECT_EQ(backend.reason, none.reason);
  EXPECT_EQ(backend.displays, nullptr);
  EXPECT_EQ(backend.clipboard, nullptr);
  ASSERT_TRUE(backend.capturer);
  EXPECT_TRUE(backend.capturer()->start(1, 0, 30));
  ASSERT_TRUE(backend.eventPoster);
  EXPECT_FALSE(backend.eventPoster()->isAvailable());
}

}  // namespace
}  // namespace ambrel
