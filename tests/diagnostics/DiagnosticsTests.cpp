#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/diagnostics/CivilTime.h"
#include "CorvelKit/diagnostics/CrashHandler.h"
#include "CorvelKit/diagnostics/Diagnostics.h"
#include "CorvelKit/diagnostics/HangWatchdog.h"
#include "CorvelKit/diagnostics/MetricsRecorder.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::diagnostics {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

AppIdentity identity() { return {"com.pinebay.corvel.host", "0.1.0", "7", "abc123"}; }

json readJSON(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return json::parse(text.str());
}

void writeText(const std::filesystem::path& file, const std::string& text) {
  ASSERT_FALSE(AtomicFile::write(file, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
}

TEST(Diagnostics, FileNamesSortByTimeAndHoldNoColons) {
  // 2026-01-31T09:05:00Z
  EXPECT_EQ(Diagnostics::fileName(1769850300, "diagnostic", "3F2A9C"), "2026-01-31T09-05-00Z-diagnostic-3F2A9C.json");
  EXPECT_EQ(CivilTime::iso8601(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(CivilTime::iso8601(951782400), "2000-02-29T00:00:00Z");
  EXPECT_LT(Diagnostics::fileName(1769850300, "metrics", "FFFFFF"), Diagnostics::fileName(1769850301, "diagnostic", "000000"));

  test::TemporaryFolder folder;
  Diagnostics diagnostics(folder.path() / "Diagnostics", identity());
  diagnostics.start();
  diagnostics.save({R"({"a": 1})", R"({"a": 2})"}, Diagnostics::metricsKind);  // the same second
  diagnostics.save({}, Diagnostics::diagnosticKind);                          // nothing
  const auto files = diagnostics.reports();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(files[0], files[1]);
  for (const auto& f : files) {
    EXPECT_EQ(f.filename().string().find(':'), std::string::npos);
    EXPECT_NE(f.filename().string().find("-metrics-"), std::string::npos);
  }
}

TEST(Diagnostics, ProblemReportBundlesTheTenNewestParsablePayloads) {
  test::TemporaryFolder folder;
  Diagnostics diagnostics(folder.path() / "Diagnostics", identity());
  diagnostics.start();
  for (int i = 0; i < 15; ++i) {
    writeText(diagnostics.folder() / Diagnostics::fileName(1769850300 + i, "diagnostic", "AAAAAA"),
              json{{"n", i}}.dump());
  }
  // Among the newest, one file that is no JSON: left out, the rest still reported.
  writeText(diagnostics.folder() / Diagnostics::fileName(1769850300 + 20, "diagnostic", "BBBBBB"), "{not json");
  std::ofstream(diagnostics.folder() / "notes.txt") << "not a payload";

  auto file = diagnostics.problemReport("it froze", folder.path() / "report.json");
  ASSERT_TRUE(file);
  const auto report = readJSON(*file);
  EXPECT_EQ(report["app"], "com.pinebay.corvel.host");
  EXPECT_EQ(report["version"], "0.1.0 (7)");
  EXPECT_EQ(report["buildID"], "abc123");
  EXPECT_EQ(report["note"], "it froze");
  EXPECT_TRUE(report["os"].get<std::string>().starts_with("Linux"));
  EXPECT_EQ(report["date"].get<std::string>().size(), 20u);
  ASSERT_EQ(report["reports"].size(), 9u);  // 10 newest files, one of them unreadable
  for (int i = 0; i < 9; ++i) EXPECT_EQ(report["reports"][i]["n"], 14 - i);

  // A second report replaces the first; with no payloads "reports" is empty.
  Diagnostics empty(folder.path() / "None", {});
  auto second = empty.problemReport("", folder.path() / "report.json");
  ASSERT_TRUE(second);
  const auto again = readJSON(*second);
  EXPECT_EQ(again["reports"], json::array());
  EXPECT_EQ(again["app"], "?");
  EXPECT_EQ(again["version"], "? (?)");
}

TEST(Diagnostics, FolderKeepsItsNewestFiles) {
  test::TemporaryFolder folder;
  Diagnostics diagnostics(folder.path(), identity());
  for (std::size_t i = 0; i < Diagnostics::keptFiles + 5; ++i) {
    writeText(folder.path() / Diagnostics::fileName(1000000000 + static_cast<long long>(i), "metrics", "CCCCCC"), "{}");
  }
  diagnostics.save({"{}"}, Diagnostics::metricsKind);
  const auto files = diagnostics.reports();
  ASSERT_EQ(files.size(), Diagnostics::keptFiles);
  EXPECT_EQ(files.back().filename().string(), Diagnostics::fileName(1000000000 + 6, "metrics", "CCCCCC"));
}

// A child process that installs the handler and then dies as `crash` makes it.
json crashChild(const std::filesystem::path& folder, void (*crash)(), int expectedSignal) {
  const pid_t child = ::fork();
  if (child == 0) {
    CrashHandler::install(folder, identity());
    crash();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  if (WIFSIGNALED(status)) EXPECT_EQ(WTERMSIG(status), expectedSignal);
  Diagnostics diagnostics(folder, identity());
  auto files = diagnostics.reports();
  EXPECT_EQ(files.size(), 1u);
  if (files.empty()) return {};
  auto report = readJSON(files.front());
  std::filesystem::remove(files.front());
  return report;
}

TEST(CrashHandler, ReportOfACrashedProcessParses) {
  test::TemporaryFolder folder;
  struct Case {
    const char* name;
    void (*crash)();
    int signal;
  };
  const Case cases[] = {
      {"SIGSEGV", [] {
         volatile int* nowhere = nullptr;
         *nowhere = 1;
       }, SIGSEGV},
      {"SIGABRT", [] { std::abort(); }, SIGABRT},
      {"SIGBUS", [] { ::raise(SIGBUS); }, SIGBUS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto report = crashChild(folder.path(), c.crash, c.signal);
    EXPECT_EQ(report["kind"], "crash");
    EXPECT_EQ(report["signal"], c.signal);
    EXPECT_EQ(report["signalName"], c.name);
    EXPECT_EQ(report["app"], "com.pinebay.corvel.host");
    EXPECT_EQ(report["version"], "0.1.0 (7)");
    EXPECT_EQ(report["buildID"], "abc123");
    EXPECT_GT(report["thread"]["id"].get<long>(), 0);
    ASSERT_TRUE(report["backtrace"].is_array());
    EXPECT_FALSE(report["backtrace"].empty());
    bool inProgram = false;
    for (const auto& frame : report["backtrace"]) inProgram = inProgram || frame["module"] == "program";
    EXPECT_TRUE(inProgram);
  }
}

TEST(CrashHandler, ReadsThisProgramsBuildID) {
  const auto id = CrashHandler::buildID();
  EXPECT_GE(id.size(), 16u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(HangWatchdog, ReportsAStalledExecutorOnce) {
  test::TemporaryFolder folder;
  Diagnostics diagnostics(folder.path(), identity());
  boost::asio::io_context loop;
  auto guard = boost::asio::make_work_guard(loop);
  std::thread runner([&] { loop.run(); });
  HangWatchdog watchdog(loop.get_executor(), diagnostics, "main", 100ms);
  watchdog.start();
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(watchdog.reportedHangs(), 0);  // a loop that answers is no hang

  boost::asio::post(loop, [] { std::this_thread::sleep_for(700ms); });
  std::this_thread::sleep_for(1200ms);
  watchdog.stop();
  guard.reset();
  runner.join();
  EXPECT_EQ(watchdog.reportedHangs(), 1);
  const auto files = diagnostics.reports();
  ASSERT_EQ(files.size(), 1u);
  const auto report = readJSON(files[0]);
  EXPECT_EQ(report["kind"], "hang");
  EXPECT_EQ(report["queue"], "main");
  EXPECT_GE(report["blockedMilliseconds"].get<long>(), 100);
  EXPECT_EQ(report["buildID"], "abc123");
}

TEST(MetricsRecorder, RecordsThePeriodsFigures) {
  test::TemporaryFolder folder;
  Diagnostics diagnostics(folder.path(), identity());
  boost::asio::io_context loop;
  MetricsRecorder::Activity activity{100, 2};
  auto recorder = std::make_shared<MetricsRecorder>(loop.get_executor(), diagnostics, [&] { return activity; }, 50ms);
  recorder->start();
  activity = {160, 5};
  // Some CPU time to count.
  volatile double sink = 0;
  for (int i = 0; i < 2000000; ++i) sink = sink + i * 0.5;
  // Exactly one period: reports saved within the same second sort by their random part, so with
  // two the first period could not be told from the second.
  for (auto end = std::chrono::steady_clock::now() + 5s;
       diagnostics.reports().empty() && std::chrono::steady_clock::now() < end;) {
    loop.run_one_for(10ms);
  }
  recorder->stop();
  loop.run_for(10ms);
  auto files = diagnostics.reports();
  ASSERT_GE(files.size(), 1u);
  const auto payload = readJSON(files.back());  // the first period
  EXPECT_EQ(payload["kind"], "metrics");
  EXPECT_EQ(payload["frames"], 60);
  EXPECT_EQ(payload["sessions"], 3);
  EXPECT_GT(payload["cpuSeconds"].get<double>(), 0.0);
  EXPECT_GT(payload["residentBytes"].get<std::uint64_t>(), 1000000u);
  EXPECT_GE(payload["peakResidentBytes"].get<std::uint64_t>(), payload["residentBytes"].get<std::uint64_t>());
  EXPECT_NE(files.back().filename().string().find("-metrics-"), std::string::npos);
}

}  // namespace
}  // namespace corvel::diagnostics
