#include <gtest/gtest.h>

#include <sys/stat.h>

#include "Ambrel_Host/shell/ControlCommands.h"
#include "Ambrel_Host/shell/ControlServer.h"
#include "tests/support/HostRig.h"

namespace ambrel::test {
namespace {

TEST(ControlCommandsTest, NamesThatPeersChoseCannotDriveTheTerminal) {
  HostRig rig;
  rig.host->set(Setting::askBeforeConnecting, false);
  rig.join("Evil\x1b[2J\nDevice");
  ControlCommands commands(rig.host);
  auto reply = commands.run({"status"});
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.output.find('\x1b'), std::string::npos);
  EXPECT_NE(reply.output.find("Evil\\x1b[2J\\x0aDevice"), std::string::npos) << reply.output;
}

TEST(ControlServerTest, ASocketFolderOthersMayEnterIsRefused) {
  corvel::test::TemporaryFolder folder;
  const auto open = folder.path() / "run";
  std::filesystem::create_directory(open);
  ::chmod(open.c_str(), 0755);
  boost::asio::io_context io;
  ControlServer server(io.get_executor(), open / "control.sock",
                       [](const std::vector<std::string>&) { return ControlReply{}; });
  EXPECT_EQ(server.start(), std::errc::permission_denied);
  EXPECT_FALSE(std::filesystem::exists(open / "control.sock"));

  ControlServer fresh(io.get_executor(), folder.path() / "fresh" / "control.sock",
                      [](const std::vector<std::string>&) { return ControlReply{}; });
  EXPECT_FALSE(fresh.start());
  struct stat st {};
  ::stat((folder.path() / "fresh").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace ambrel::test
