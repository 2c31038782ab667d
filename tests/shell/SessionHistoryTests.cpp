#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "Ambrel_Host/shell/SessionHistory.h"
#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/base/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::Date;
using corvel::UUID;
using corvel::net::ConnectionRoute;
using Kind = SessionHistory::Kind;

// 2024-01-01 00:00:00 UTC.
constexpr std::chrono::system_clock::time_point kStart{std::chrono::seconds(1704067200)};
constexpr double kStartSince2001 = 1704067200.0 - 978307200.0;

std::string readText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeText(const std::filesystem::path& p, const std::string& text) {
  ASSERT_FALSE(corvel::AtomicFile::write(p, corvel::ByteView(
                                                reinterpret_cast<const std::uint8_t*>(text.data()),
                                                text.size())));
}

corvel::JSON readJSON(const std::filesystem::path& p) { return corvel::JSON::parse(readText(p)); }

class SessionHistoryTest : public ::testing::Test {
 protected:
  corvel::test::TemporaryFolder folder;
  std::filesystem::path file = folder.path() / "data" / "SessionHistory.json";
  std::shared_ptr<corvel::ManualClock> clock = std::make_shared<corvel::ManualClock>(kStart);

  std::unique_ptr<SessionHistory> open() { return std::make_unique<SessionHistory>(file, clock); }

  static SessionHistory::Participant phone(UUID id = UUID::random()) {
    return {.id = id,
            .device = "Anna's Phone",
            .symbol = "iphone",
            .address = "192.168.1.20",
            .route = ConnectionRoute::localNetwork,
            .isScreenSharer = false,
            .isSupport = false,
            .canControl = true};
  }
};

TEST_F(SessionHistoryTest, FileHoldsTheEntriesInTheDocumentedFormat) {
  auto id = *UUID::parse("0F6D8E0A-3B7C-4C1E-9A55-1D2E3F405162");
  {
    auto history = open();
    history->start(phone(id));
    clock->advance(90s);
    history->end(id, "Ended on Anna's Phone");
    clock->advance(1500ms);
    history->wrongCode("203.0.113.9");
    history->flush();
  }
  auto json = readJSON(file);
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), 2u);

  const auto& wrong = json[0];
  EXPECT_EQ(wrong["device"], "Unknown device");
  EXPECT_EQ(wrong["symbol"], "exclamationmark.triangle");
  EXPECT_EQ(wrong["address"], "203.0.113.9");
  EXPECT_EQ(wrong["route"], "");
  EXPECT_EQ(wrong["kind"], "wrongCode");
  EXPECT_DOUBLE_EQ(wrong["started"].get<double>(), kStartSince2001 + 91.5);
  EXPECT_DOUBLE_EQ(wrong["ended"].get<double>(), kStartSince2001 + 91.5);
  EXPECT_EQ(wrong["outcome"], "Wrong access code");
  auto wrongID = wrong["id"].get<std::string>();
  EXPECT_TRUE(UUID::parse(wrongID).has_value());
  EXPECT_EQ(wrongID, UUID::parse(wrongID)->string());  // upper case

  corvel::JSON expectedSession = {
      {"id", "0F6D8E0A-3B7C-4C1E-9A55-1D2E3F405162"},
      {"device", "Anna's Phone"},
      {"symbol", "iphone"},
      {"address", "192.168.1.20"},
      {"route", "This network"},
      {"kind", "control"},
      {"started", kStartSince2001},
      {"ended", kStartSince2001 + 90},
      {"outcome", "Ended on Anna's Phone"},
  };
  EXPECT_EQ(json[1], expectedSession);

  // Read back, the entries are the same.
  auto reread = open();
  ASSERT_EQ(reread->entries().size(), 2u);
  EXPECT_EQ(reread->entries()[1].id, id);
  EXPECT_EQ(reread->entries()[1].ended, Date(kStartSince2001 + 90));
  EXPECT_EQ(reread->entries()[0].kind, Kind::wrongCode);
}

TEST_F(SessionHistoryTest, OpenEntryLeavesEndedOutAndReadsStoppedAfterARestart) {
  struct Case {
    const char* kind;
    bool ended;
    const char* outcomeAfterLoad;
  };
  const Case cases[] = {
      {"control", false, "Ambrel Host stopped"},  {"viewOnly", false, "Ambrel Host stopped"},
      {"screenShare", false, "Ambrel Host stopped"}, {"support", false, "Ambrel Host stopped"},
      {"declined", false, "stored"},                 {"wrongCode", false, "stored"},
      {"control", true, "stored"},                   {"support", true, "stored"},
  };
  corvel::JSON document = corvel::JSON::array();
  for (const auto& c : cases) {
    corvel::JSON entry = {{"id", UUID::random().string()}, {"device", "d"}, {"symbol", "s"},
                          {"address", "a"}, {"route", ""}, {"kind", c.kind},
                          {"started", 10.5}, {"outcome", "stored"}};
    if (c.ended) entry["ended"] = 20.25;
    document.push_back(entry);
  }
  writeText(file, document.dump());

  auto history = open();
  ASSERT_EQ(history->entries().size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(std::string(cases[i].kind) + (cases[i].ended ? " ended" : " open"));
    EXPECT_EQ(history->entries()[i].outcome, cases[i].outcomeAfterLoad);
    EXPECT_EQ(history->entries()[i].ended.has_value(), cases[i].ended);  // no end is invented
  }

  // A live session writes no "ended" key until it closes.
  history->start(phone());
  history->flush();
  auto json = readJSON(file);
  EXPECT_FALSE(json[0].contains("ended"));
  EXPECT_EQ(json[0]["outcome"], "Connected");
}

TEST_F(SessionHistoryTest, EntriesDescribeTheClientAndHowItEnded) {
  auto history = open();
  int changes = 0;
  history->setOnChange([&] { ++changes; });

  struct KindCase {
    bool sharer, support, control;
    Kind kind;
  };
  for (auto c : {KindCase{true, true, true, Kind::screenShare},
                 KindCase{false, true, true, Kind::support},
                 KindCase{false, false, true, Kind::control},
                 KindCase{false, false, false, Kind::viewOnly}}) {
    auto p = phone();
    p.isScreenSharer = c.sharer;
    p.isSupport = c.support;
    p.canControl = c.control;
    EXPECT_EQ(SessionHistory::kindFor(p), c.kind);
  }
  EXPECT_EQ(SessionHistory::routeText(ConnectionRoute::localNetwork), "This network");
  EXPECT_EQ(SessionHistory::routeText(ConnectionRoute::privateNetwork), "Private network");
  EXPECT_EQ(SessionHistory::routeText(ConnectionRoute::internet), "Internet");
  EXPECT_EQ(SessionHistory::routeText(ConnectionRoute::natTraversal), "Internet (through NAT)");
  EXPECT_EQ(SessionHistory::routeText(ConnectionRoute::unknown), "");

  auto id = UUID::random();
  auto client = phone(id);
  client.route = ConnectionRoute::natTraversal;
  history->start(client);
  EXPECT_EQ(changes, 1);
  const auto& open = history->entries().front();
  EXPECT_EQ(open.id, id);
  EXPECT_EQ(open.route, "Internet (through NAT)");
  EXPECT_EQ(open.outcome, "Connected");
  EXPECT_FALSE(open.ended);

  clock->advance(5s);
  history->end(id, "The person at the computer stopped the session.");
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(history->entries().front().ended, Date(kStartSince2001 + 5));
  EXPECT_EQ(history->entries().front().outcome, "The person at the computer stopped the session.");

  // A closed entry is not closed again, and an unknown id changes nothing.
  clock->advance(5s);
  history->end(id, "later");
  history->end(UUID::random(), "nobody");
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(history->entries().front().outcome, "The person at the computer stopped the session.");

  history->declined(client);
  EXPECT_EQ(changes, 3);
  const auto& declined = history->entries().front();
  EXPECT_NE(declined.id, id);
  EXPECT_EQ(declined.kind, Kind::declined);
  EXPECT_EQ(declined.device, "Anna's Phone");
  EXPECT_EQ(declined.started, declined.ended);
  EXPECT_EQ(declined.outcome, "You declined");
}

TEST_F(SessionHistoryTest, WrongCodeBurstsFromOneAddressMakeOneEntry) {
  auto history = open();
  struct Step {
    std::chrono::milliseconds after;  // since the previous step
    const char* address;
    std::size_t entriesAfter;
  };
  const Step steps[] = {
      {0ms, "10.0.0.5", 1},     {500ms, "10.0.0.5", 1},  {500ms, "10.0.0.5", 1},
      {500ms, "10.0.0.5", 1},   {500ms, "10.0.0.5", 1},  // five within 2 s
      {4000ms, "10.0.0.5", 2},                           // a new burst
      {2999ms, "10.0.0.5", 2},                           // still within 3 s of its start
      {1ms, "10.0.0.5", 3},                              // 3 s after the start: a new entry
      {100ms, "10.0.0.6", 4},                            // another address
      {100ms, "10.0.0.5", 5},                            // newest is no longer from .5
  };
  for (const auto& step : steps) {
    clock->advance(step.after);
    history->wrongCode(step.address);
    EXPECT_EQ(history->entries().size(), step.entriesAfter) << step.address << " +" << step.after.count();
  }

  // Anything else in between also ends the burst.
  history->start(phone());
  history->wrongCode("10.0.0.5");
  EXPECT_EQ(history->entries().size(), 7u);
}

TEST_F(SessionHistoryTest, WrongCodeAfterTheClockWasSetBackIsRecorded) {
  // The newest entry is dated an hour ahead of now.
  corvel::JSON entry = {{"id", UUID::random().string()}, {"device", "Unknown device"},
                        {"symbol", "exclamationmark.triangle"}, {"address", "10.0.0.5"},
                        {"route", ""}, {"kind", "wrongCode"},
                        {"started", kStartSince2001 + 3600}, {"ended", kStartSince2001 + 3600},
                        {"outcome", "Wrong access code"}};
  writeText(file, corvel::JSON::array({entry}).dump());
  auto history = open();
  history->wrongCode("10.0.0.5");
  EXPECT_EQ(history->entries().size(), 2u);
}

TEST_F(SessionHistoryTest, KeepsTheNewestFiveHundred) {
  auto history = open();
  for (int i = 0; i < 501; ++i) {
    history->wrongCode("10.0.0." + std::to_string(i));
  }
  ASSERT_EQ(history->entries().size(), 500u);
  EXPECT_EQ(history->entries().front().address, "10.0.0.500");
  EXPECT_EQ(history->entries().back().address, "10.0.0.1");  // 10.0.0.0 was dropped
  history->flush();
  EXPECT_EQ(readJSON(file).size(), 500u);
}

TEST_F(SessionHistoryTest, AStormOfWrongCodesNeverPushesOutSessions) {
  auto history = open();
  auto p = phone();
  history->start(p);
  history->end(p.id, "Ended on Phone");
  for (int i = 0; i < 1000; ++i) history->wrongCode("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250));
  ASSERT_EQ(history->entries().size(), 500u);
  EXPECT_EQ(history->entries().back().kind, Kind::control);
  EXPECT_EQ(history->entries().back().outcome, "Ended on Phone");
  EXPECT_EQ(history->entries().front().address, "10.0.3.249");
}

TEST_F(SessionHistoryTest, ClearKeepsTheGivenIds) {
  auto history = open();
  auto live = UUID::random();
  history->start(phone(live));
  history->wrongCode("10.0.0.1");
  history->declined(phone());
  history->clear({live});
  ASSERT_EQ(history->entries().size(), 1u);
  EXPECT_EQ(history->entries()[0].id, live);
  history->end(live, "Ended on Anna's Phone");  // still closes after the clear
  history->flush();
  auto reread = open();
  ASSERT_EQ(reread->entries().size(), 1u);
  EXPECT_EQ(reread->entries()[0].outcome, "Ended on Anna's Phone");
}

TEST_F(SessionHistoryTest, UndecodableFileIsKeptAsideAndReplacedAtTheNextSave) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"not JSON", "{\"id\": tru"},
      {"not an array", "{}"},
      {"unknown kind",
       R"([{"id":"0F6D8E0A-3B7C-4C1E-9A55-1D2E3F405162","device":"d","symbol":"s","address":"a",)"
       R"("route":"","kind":"sleeping","started":1,"outcome":"o"}])"},
      {"missing key", R"([{"id":"0F6D8E0A-3B7C-4C1E-9A55-1D2E3F405162","device":"d"}])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(file.string() + ".corrupt");
    writeText(file, c.text);
    auto history = open();
    EXPECT_TRUE(history->entries().empty());
    EXPECT_EQ(readText(file.string() + ".corrupt"), c.text);

    history->wrongCode("10.0.0.1");
    history->flush();
    EXPECT_EQ(readJSON(file).size(), 1u);
  }
}

TEST_F(SessionHistoryTest, MissingFileStartsEmptyAndCreatesTheFolder) {
  auto history = open();
  EXPECT_TRUE(history->entries().empty());
  EXPECT_FALSE(std::filesystem::exists(file));  // loading writes nothing
  history->wrongCode("10.0.0.1");
  history->flush();
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".corrupt"));
}

TEST_F(SessionHistoryTest, SavesLandInOrder) {
  auto history = open();
  std::vector<UUID> ids;
  for (int i = 0; i < 50; ++i) {
    ids.push_back(UUID::random());
    history->start(phone(ids.back()));
    if (i % 2 == 0) history->end(ids.back(), "done " + std::to_string(i));
  }
  auto expected = history->entries();
  history.reset();  // waits for the saves
  auto reread = open();
  ASSERT_EQ(reread->entries().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    auto e = expected[i];
    if (!e.ended) e.outcome = "Ambrel Host stopped";
    EXPECT_EQ(reread->entries()[i], e);
  }
}

TEST(SessionHistoryDefaults, FileLivesInTheDataFolder) {
  corvel::test::TemporaryHome home;
  EXPECT_EQ(SessionHistory::defaultFile(), home.path() / "data" / "SessionHistory.json");
}

}  // namespace
}  // namespace ambrel
