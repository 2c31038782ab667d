#include <gtest/gtest.h>

#include <X11/Xlib.h>


#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;

// The whole road of remote input: corvel's scripted input, sealed over the connection, through the
// host's dispatcher and injector, to the pointer of a real X server.
TEST(CorvelInput, ScriptedInputMovesThePointerOnTheHostsScreen) {
  corvel::test::XvfbServer x("1280x800x24");
  ASSERT_TRUE(x.isRunning()) << x.errors();
  corvel::test::TemporaryFolder clientHome;
  corvel::test::HostProcess host(std::string(CORVEL_BIN_DIR) + "/ambrel-host",
                                 {.settings = R"({"askBeforeConnecting": false})",
                                  .environment = {{"DISPLAY", x.displayName()}},
                                  .readyText = "Listener: Ready"});
  ASSERT_TRUE(host.isReady()) << host.process().errors();

  ChildProcess client(std::string(CORVEL_BIN_DIR) + "/corvel",
                      {"connect", "127.0.0.1", "--code", host.accessCode(), "--seconds", "2", "--input",
                       "move 0.25 0.5; wait 100; move 0.75 0.25"},
                      {{"AMBREL_HOME", clientHome.path().string()}});
  ASSERT_TRUE(client.waitForText("input sent", 20s)) << client.output() << host.process().errors();
  EXPECT_EQ(client.wait(20s), 0);

  Display* display = XOpenDisplay(x.displayName().c_str());
  ASSERT_NE(display, nullptr);
  Window root, child;
  int rootX = -1, rootY = -1, winX, winY;
  unsigned mask;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
  XCloseDisplay(display);
  EXPECT_EQ(rootX, 960);
  EXPECT_EQ(rootY, 200);

  EXPECT_EQ(host.stop(), 0);
}

}  // namespace
}  // namespace ambrel
