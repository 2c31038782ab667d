#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "Ambrel_Host/shell/UpdateChecker.h"
#include "CorvelKit/base/Defaults.h"
#include "tests/support/LocalWebServer.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::LocalWebServer;
using Kind = UpdateStatus::Kind;

constexpr const char* kFeed =
    R"({"shortVersion": "2.4", "build": 240, "url": "https://example.net/AmbrelHost-2.4.dmg",
        "notes": "Faster.", "minimumSystemVersion": "12.0"})";

// One checker on a loop of the test's own, with what it shows and opens recorded.
struct Rig {
  corvel::test::TemporaryHome home;
  boost::asio::io_context loop;
  std::shared_ptr<corvel::Defaults> defaults =
      std::make_shared<corvel::Defaults>(home.path() / "settings.json");
  std::vector<UpdateAlert> alerts;
  std::vector<std::string> opened;
  std::vector<UpdateStatus> statuses;
  std::shared_ptr<UpdateChecker> checker;

  explicit Rig(std::string feedURL, std::string installedBuild = "100",
               std::optional<std::filesystem::path> trusted = {}, std::chrono::milliseconds timeout = 15s) {
    UpdateChecker::Options options;
    options.executor = loop.get_executor();
    options.defaults = defaults;
    options.feedURL = std::move(feedURL);
    options.installedVersion = "1.0";
    options.installedBuild = std::move(installedBuild);
    options.timeout = timeout;
    options.trustedCertificates = std::move(trusted);
    options.alert = [this](const UpdateAlert& a) { alerts.push_back(a); };
    options.openURL = [this](const std::string& url) { opened.push_back(url); };
    checker = UpdateChecker::make(std::move(options));
    checker->subscribe([this](const UpdateStatus& s) { statuses.push_back(s); });
  }

  // Runs one check to its end.
  UpdateStatus check(bool userInitiated) {
    auto guard = boost::asio::make_work_guard(loop);
    checker->check(userInitiated);
    EXPECT_EQ(checker->status(), UpdateStatus::checking());
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (checker->status().kind == Kind::checking && std::chrono::steady_clock::now() < deadline) {
      loop.run_one_for(20ms);
    }
    guard.reset();
    loop.poll();
    loop.restart();
    return checker->status();
  }
};

TEST(UpdateChecker, NewerBuildIsOfferedAndTheButtonsDoWhatTheySay) {
  LocalWebServer server;
  server.answer("/feed.json", 200, kFeed);
  Rig rig(server.url("/feed.json"));

  EXPECT_EQ(rig.checker->status(), UpdateStatus::idle());
  EXPECT_EQ(rig.check(false), UpdateStatus::available("2.4"));
  EXPECT_EQ(rig.statuses, (std::vector{UpdateStatus::checking(), UpdateStatus::available("2.4")}));
  ASSERT_EQ(rig.alerts.size(), 1u);
  const auto alert = rig.alerts[0];
  EXPECT_EQ(alert.message, "Ambrel Host 2.4 is available");
  EXPECT_EQ(alert.informative, "You have 1.0. Would you like to download the update?");
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Download Update", "Remind Me Later", "Skip This Version"}));

  rig.checker->respond(alert, 1);  // later: nothing
  EXPECT_TRUE(rig.opened.empty());
  EXPECT_EQ(rig.checker->skippedBuild(), 0);
  rig.checker->respond(alert, 0);
  EXPECT_EQ(rig.opened, std::vector<std::string>{"https://example.net/AmbrelHost-2.4.dmg"});
  rig.checker->respond(alert, 2);
  EXPECT_EQ(rig.checker->skippedBuild(), 240);
  // The skipped build persists in the settings file.
  EXPECT_EQ(corvel::Defaults(rig.home.path() / "settings.json").integer(UpdateChecker::dismissedKey), 240);
}

TEST(UpdateChecker, SkippedBuildIsQuietOnlyForAutomaticChecks) {
  LocalWebServer server;
  server.answer("/feed.json", 200, kFeed);
  Rig rig(server.url("/feed.json"));
  rig.checker->skip(240);

  EXPECT_EQ(rig.check(false), UpdateStatus::available("2.4"));
  EXPECT_TRUE(rig.alerts.empty());
  EXPECT_EQ(rig.check(true), UpdateStatus::available("2.4"));
  ASSERT_EQ(rig.alerts.size(), 1u);
  EXPECT_EQ(rig.alerts[0].kind, UpdateAlert::Kind::update);

  // A later build than the skipped one speaks up again.
  server.answer("/feed.json", 200, R"({"shortVersion": "2.5", "build": 250, "url": "https://example.net/x.dmg"})");
  EXPECT_EQ(rig.check(false), UpdateStatus::available("2.5"));
  EXPECT_EQ(rig.alerts.size(), 2u);
}

TEST(UpdateChecker, InstalledBuildAtOrAboveTheFeedIsUpToDate) {
  LocalWebServer server;
  server.answer("/feed.json", 200, kFeed);
  struct Case {
    std::string installed;
    Kind expected;
  };
  for (const auto& c : {Case{"240", Kind::upToDate}, Case{"241", Kind::upToDate}, Case{"239", Kind::available},
                        Case{"", Kind::available}, Case{"24a", Kind::available}}) {
    SCOPED_TRACE(c.installed);
    Rig rig(server.url("/feed.json"), c.installed);
    EXPECT_EQ(rig.check(false).kind, c.expected);
    // Automatic checks never say "up to date".
    EXPECT_EQ(rig.alerts.size(), c.expected == Kind::available ? 1u : 0u);
  }
  Rig rig(server.url("/feed.json"), "240");
  EXPECT_EQ(rig.check(true), UpdateStatus::upToDate());
  ASSERT_EQ(rig.alerts.size(), 1u);
  EXPECT_EQ(rig.alerts[0].message, "You're up to date");
  EXPECT_EQ(rig.alerts[0].informative, "Ambrel Host 1.0 is the latest version.");
}

TEST(UpdateChecker, AnAddressThatIsNoDiskImageOpensTheDownloadPage) {
  LocalWebServer server;
  Rig rig(server.url("/feed.json"));
  server.answer("/feed.json", 200, R"({"shortVersion": "3", "build": 300, "url": "https://example.net/A.DMG"})");
  rig.check(false);
  ASSERT_EQ(rig.alerts.size(), 1u);
  EXPECT_EQ(rig.alerts[0].buttons[0], "Download Update");  // upper-case .DMG is a disk image too

  server.answer("/feed.json", 200, R"({"shortVersion": "3", "build": 300, "url": "https://example.net/releases"})");
  rig.check(true);
  ASSERT_EQ(rig.alerts.size(), 2u);
  EXPECT_EQ(rig.alerts[1].buttons[0], "Open Download Page");
  EXPECT_NE(rig.alerts[1].informative.find("opens the download page instead"), std::string::npos);
  rig.checker->respond(rig.alerts[1], 0);
  EXPECT_EQ(rig.opened, std::vector<std::string>{std::string(UpdateChecker::downloadPageURL)});

  // The feed can't make the desktop open a local file or program.
  server.answer("/feed.json", 200, R"({"shortVersion": "3", "build": 300, "url": "file:///tmp/evil.dmg"})");
  rig.check(true);
  ASSERT_EQ(rig.alerts.size(), 3u);
  rig.checker->respond(rig.alerts[2], 0);
  EXPECT_EQ(rig.opened.size(), 1u);
}

TEST(UpdateChecker, BadAnswersFail) {
  LocalWebServer server;
  server.answer("/broken.json", 200, "{\"shortVersion\": ");
  server.answer("/nobuild.json", 200, R"({"shortVersion": "2", "url": "https://example.net/a.dmg"})");
  server.answer("/textbuild.json", 200, R"({"shortVersion": "2", "build": "x", "url": "https://e.net/a.dmg"})");
  server.answer("/array.json", 200, "[1, 2]");
  for (const std::string path : {"/broken.json", "/nobuild.json", "/textbuild.json", "/array.json", "/missing.json"}) {
    SCOPED_TRACE(path);
    Rig rig(server.url(path));
    EXPECT_EQ(rig.check(false).kind, Kind::failed);
    EXPECT_FALSE(rig.checker->status().text.empty());
    EXPECT_TRUE(rig.alerts.empty());  // automatic: only the log hears of it
  }
  Rig rig(server.url("/missing.json"));
  EXPECT_EQ(rig.check(true), UpdateStatus::failed("The server's answer was not usable (HTTP 404)."));
  ASSERT_EQ(rig.alerts.size(), 1u);
  EXPECT_EQ(rig.alerts[0].message, "Couldn't check for updates");
  EXPECT_EQ(rig.alerts[0].buttons, (std::vector<std::string>{"OK", "Open Download Page"}));
  rig.checker->respond(rig.alerts[0], 1);
  EXPECT_EQ(rig.opened, std::vector<std::string>{std::string(UpdateChecker::downloadPageURL)});
}

TEST(UpdateChecker, ServerThatNeverAnswersTimesOut) {
  LocalWebServer server(LocalWebServer::Mode::silent);
  Rig rig(server.url("/feed.json"), "100", std::nullopt, 500ms);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(rig.check(true).kind, Kind::failed);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_EQ(rig.alerts.size(), 1u);
}

// A checker that goes while its fetch waits for the server neither waits for the 15 s time-out
// nor sends anything to its executor afterwards, which may then go too.
TEST(UpdateChecker, GoingAwayMidFetchAbandonsIt) {
  LocalWebServer server(LocalWebServer::Mode::silent);
  auto loop = std::make_unique<boost::asio::io_context>();
  int told = 0;
  UpdateChecker::Options options;
  options.executor = loop->get_executor();
  options.feedURL = server.url("/feed.json");
  options.installedBuild = "100";
  options.alert = [&told](const UpdateAlert&) { ++told; };
  auto checker = UpdateChecker::make(std::move(options));
  checker->subscribe([&told](const UpdateStatus&) { ++told; });
  checker->check(true);
  loop->poll();
  EXPECT_EQ(told, 1);  // checking
  // The request is out and waits for its answer.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (server.requestCount() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);

  const auto started = std::chrono::steady_clock::now();
  checker.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  std::this_thread::sleep_for(300ms);
  loop->restart();
  EXPECT_EQ(loop->poll(), 0u);
  EXPECT_EQ(told, 1);
  loop.reset();
  std::this_thread::sleep_for(100ms);
}

TEST(UpdateChecker, FeedOverTlsNeedsATrustedCertificate) {
  LocalWebServer server(LocalWebServer::Mode::tls);
  server.answer("/feed.json", 200, kFeed);
  {
    Rig trusting(server.url("/feed.json"), "100", server.certificateFile());
    EXPECT_EQ(trusting.check(false), UpdateStatus::available("2.4"));
  }
  Rig untrusting(server.url("/feed.json"));
  EXPECT_EQ(untrusting.check(false).kind, Kind::failed);
}

TEST(UpdateRelease, DecodesTheFeedsForms) {
  auto minimal = UpdateRelease::decode(R"({"shortVersion": "1.2", "build": 12, "url": "https://e.net/"})");
  ASSERT_TRUE(minimal);
  EXPECT_EQ(minimal->build, 12);
  EXPECT_FALSE(minimal->notes);
  auto floating = UpdateRelease::decode(R"({"shortVersion": "1", "build": 12.0, "url": "u", "extra": 1})");
  ASSERT_TRUE(floating);
  EXPECT_EQ(floating->build, 12);
  EXPECT_FALSE(UpdateRelease::decode(R"({"shortVersion": "1", "build": 12.5, "url": "u"})"));
  EXPECT_FALSE(UpdateRelease::decode(R"({"shortVersion": "1", "build": 1e300, "url": "u"})"));
  EXPECT_FALSE(UpdateRelease::decode(R"({"shortVersion": 1, "build": 12, "url": "u"})"));
  EXPECT_FALSE(UpdateRelease::decode(R"({"shortVersion": "1", "build": 12, "url": "u", "notes": 3})"));
  EXPECT_FALSE(UpdateRelease::decode(""));

  EXPECT_EQ(UpdateRelease::installedBuild("42"), 42);
  EXPECT_EQ(UpdateRelease::installedBuild(""), 0);
  EXPECT_EQ(UpdateRelease::installedBuild("4.2"), 0);
  EXPECT_EQ(UpdateRelease::installedBuild("-3"), 0);

  EXPECT_TRUE(UpdateRelease::isWebAddress("https://example.net/a.dmg"));
  EXPECT_TRUE(UpdateRelease::isWebAddress("HTTP://example.net"));
  for (const char* bad : {"file:///etc/passwd", "https://", "https://exa mple.net", "javascript:alert(1)",
                          "/usr/bin/xterm", "https://user@evil.net/", "ftp://example.net/a.dmg"}) {
    EXPECT_FALSE(UpdateRelease::isWebAddress(bad)) << bad;
  }
}

}  // namespace
}  // namespace ambrel
