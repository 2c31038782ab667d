#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "Ambrel_Host/reach/AnywhereAccess.h"
#include "Ambrel_Host/reach/OwnerSecret.h"
#include "Ambrel_Host/shell/ControlCommands.h"
#include "Ambrel_Host/shell/ControlServer.h"
#include "CorvelKit/cloud/PostgresCloudDatabase.h"
#include "CorvelKit/cloud/SqliteCloudDatabase.h"
#include "CorvelKit/security/Keychain.h"
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

TEST(ControlCommandsTest, CloudShowsTheAccountTheRecordAndTheLastErrorAndKeepsTheOwnerSecret) {
  HostRig rig(HostRig::Options{}, [](const std::filesystem::path& home) {
    return std::make_shared<corvel::cloud::SqliteCloudDatabase>(home / "cloud.sqlite");
  });
  ControlCommands commands(rig.host);
  auto settleUntil = [&rig](auto done) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         std::chrono::steady_clock::now() < end;) {
      rig.settle();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  ASSERT_TRUE(settleUntil([&] { return rig.host->anywhere()->published().has_value(); }));
  auto reply = commands.run({"cloud"});
  EXPECT_EQ(reply.status, 0);
  for (const char* part : {"Account: Signed in (account status 1)", "Status: Home network only",
                           "Owner secret: not set", "Published record:", "last seen: ",
                           "sealed: none", "Last error: none"}) {
    EXPECT_NE(reply.output.find(part), std::string::npos) << part << " in\n" << reply.output;
  }
  EXPECT_NE(commands.run({"status"}).output.find("Cloud: Home network only"), std::string::npos);

  reply = commands.run({"cloud", "secret", "  tell no one \n"});
  EXPECT_EQ(reply.status, 0) << reply.output;
  EXPECT_EQ(reply.output.find("tell no one"), std::string::npos) << "the reply never repeats it";
  EXPECT_EQ(OwnerSecret::load(), "tell no one");
  ASSERT_TRUE(settleUntil([&] {
    return commands.run({"cloud"}).output.find("sealed: access code") !=
           std::string::npos;
  })) << commands.run({"cloud"}).output;
  reply = commands.run({"cloud"});
  EXPECT_NE(reply.output.find("Owner secret: set"), std::string::npos);
  EXPECT_EQ(reply.output.find(rig.host->accessCode()), std::string::npos) << "sealed fields by name only";

  reply = commands.run({"cloud", "password", "db pass"});
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.output.find("db pass"), std::string::npos);
  EXPECT_EQ(corvel::security::Keychain::get(corvel::cloud::PostgresCloudDatabase::passwordAccount,
                                            corvel::cloud::PostgresCloudDatabase::passwordService),
            "db pass");

  EXPECT_EQ(commands.run({"cloud", "secret", " \n"}).status, ControlCommands::usageError);
  EXPECT_EQ(commands.run({"cloud", "nonsense"}).status, ControlCommands::usageError);
  EXPECT_EQ(commands.run({"cloud", "forget-secret"}).status, 0);
  EXPECT_FALSE(OwnerSecret::load());
  EXPECT_TRUE(settleUntil([&] { return !rig.host->anywhere()->hasOwnerKey(); }));
  rig.host->shutdown();
  rig.settle();
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
