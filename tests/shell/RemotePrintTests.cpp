#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <boost/asio/io_context.hpp>

#include "Ambrel_Host/shell/RemotePrint.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corvel::test::ChildProcess;

const std::string kBackend = std::string(CORVEL_SOURCE_DIR) + "/resources/cups/ambrel";

std::string readText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct PrintRig {
  corvel::test::TemporaryHome home;
  boost::asio::io_context loop;
  std::vector<std::string> offered;
  std::shared_ptr<RemotePrint> print;

  PrintRig() {
    RemotePrint::Options options;
    options.executor = loop.get_executor();
    options.inbox = home.path() / "Print";
    options.serviceScript = home.path() / "Print with Ambrel";
    options.scanDelay = 50ms;
    options.onDocument = [this](const fs::path& p) { offered.push_back(p.filename().string()); };
    print = RemotePrint::make(std::move(options));
    print->start();
  }
  fs::path inbox() const { return home.path() / "Print"; }
  void run(std::chrono::milliseconds time = 300ms) {
    loop.run_for(time);
    loop.restart();
  }
};

TEST(RemotePrint, OffersWholeDocumentsOnceAndIgnoresTheRest) {
  PrintRig rig;
  ASSERT_TRUE(rig.print->isWatching());
  EXPECT_EQ(fs::status(rig.inbox()).permissions() & fs::perms::all, fs::perms::owner_all);

  // A document still being written is not offered until its writer closes it.
  const int fd = ::open((rig.inbox() / "Report.pdf").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "%PDF-", 5), 5);
  rig.run();
  EXPECT_TRUE(rig.offered.empty());
  ::close(fd);
  rig.run();
  EXPECT_EQ(rig.offered, std::vector<std::string>{"Report.pdf"});

  // Moved in whole (in any case of its extension); other files and links are no documents.
  std::ofstream(rig.home.path() / "staged") << "%PDF-1.4";
  fs::rename(rig.home.path() / "staged", rig.inbox() / "Scan.PDF");
  std::ofstream(rig.inbox() / "notes.txt") << "text";
  std::ofstream(rig.inbox() / ".hidden.pdf") << "%PDF-1.4";
  fs::create_symlink("/etc/hostname", rig.home.path() / "link.pdf");
  fs::rename(rig.home.path() / "link.pdf", rig.inbox() / "link.pdf");
  rig.run();
  EXPECT_EQ(rig.offered, (std::vector<std::string>{"Report.pdf", "Scan.PDF"}));

  // Stopped: nothing more.
  rig.print->stop();
  std::ofstream(rig.inbox() / "late.pdf") << "%PDF-1.4";
  rig.run();
  EXPECT_EQ(rig.offered.size(), 2u);
}

TEST(RemotePrint, ServiceScriptDropsTheDocumentUnderItsTitle) {
  PrintRig rig;
  const auto script = rig.home.path() / "Print with Ambrel";
  const auto text = readText(script);
  EXPECT_EQ(text, "#!/bin/sh\n"
                  "# Installed by Ambrel Host: sends this document to your iPhone or iPad to print.\n"
                  "name=$(printf '%s' \"$1\" | tr '/:' '--')\n"
                  "[ -z \"$name\" ] && name=\"Document\"\n"
                  "cp \"$3\" \"" + rig.inbox().string() + "/$name.pdf\"");
  EXPECT_EQ(fs::status(script).permissions() & fs::perms::all, static_cast<fs::perms>(0755));

  const auto source = rig.home.path() / "source.pdf";
  std::ofstream(source) << "%PDF-1.4 body";
  for (const auto& [title, expected] : std::vector<std::pair<std::string, std::string>>{
           {"Trip/Plan: Day 1", "Trip-Plan- Day 1.pdf"}, {"", "Document.pdf"}}) {
    ChildProcess run(script.string(), {title, "options", source.string()});
    EXPECT_EQ(run.wait(10s), 0) << run.errors();
    EXPECT_EQ(readText(rig.inbox() / expected), "%PDF-1.4 body") << expected;
  }
  rig.run();
  EXPECT_EQ(rig.offered, (std::vector<std::string>{"Document.pdf", "Trip-Plan- Day 1.pdf"}));
}

TEST(RemotePrint, ServiceScriptKeepsAnUnusualInboxPathAName) {
  corvel::test::TemporaryFolder folder;
  const auto inbox = folder.path() / "In \"box\" $HOME `x`";
  fs::create_directories(inbox);
  const auto script = folder.path() / "script";
  std::ofstream(script) << RemotePrint::serviceScriptText(inbox);
  fs::permissions(script, static_cast<fs::perms>(0755));
  std::ofstream(folder.path() / "a.pdf") << "%PDF-";
  ChildProcess run(script.string(), {"T", "", (folder.path() / "a.pdf").string()});
  EXPECT_EQ(run.wait(10s), 0) << run.errors();
  EXPECT_TRUE(fs::exists(inbox / "T.pdf"));
}

// The print queue's backend on its own, as CUPS runs it.
struct BackendRun {
  std::optional<int> status;
  std::string output;
};
BackendRun backend(const fs::path& inbox, std::vector<std::string> args) {
  ChildProcess run(kBackend, std::move(args), {{"DEVICE_URI", "ambrel:" + inbox.string()}});
  auto status = run.wait(10s);
  return {status, run.output() + run.errors()};
}

TEST(PrintQueueBackend, WritesJobsIntoTheInboxUnderTheirTitle) {
  corvel::test::TemporaryFolder folder;
  const auto inbox = folder.path() / "Print";
  fs::create_directories(inbox);
  const auto pdf = folder.path() / "job";
  std::ofstream(pdf) << "%PDF-1.4 job";
  const auto user = std::to_string(::getuid());
  const auto self = std::string(::getenv("USER") ? ::getenv("USER") : "root");

  auto discovery = backend(inbox, {});
  EXPECT_EQ(discovery.status, 0);
  EXPECT_EQ(discovery.output, "direct ambrel \"Unknown\" \"Print with Ambrel\"\n");

  struct Case {
    std::string title;
    std::string file;
  };
  for (const auto& c : {Case{"Trip/Plan: Day 1", "Trip-Plan- Day 1.pdf"}, Case{"", "Document.pdf"},
                        Case{"..", "Document 2.pdf"}, Case{"../../etc/x", "-..-etc-x.pdf"},
                        Case{"Trip/Plan: Day 1", "Trip-Plan- Day 1 2.pdf"}}) {
    SCOPED_TRACE(c.title);
    auto run = backend(inbox, {"7", self, c.title, "1", "", pdf.string()});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(readText(inbox / c.file), "%PDF-1.4 job");
  }
  // Nothing half-written is left behind.
  for (const auto& entry : fs::directory_iterator(inbox)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
  }

  std::ofstream(folder.path() / "text") << "plain text";
  EXPECT_EQ(backend(inbox, {"8", self, "t", "1", "", (folder.path() / "text").string()}).status, 5);
  EXPECT_EQ(backend(folder.path() / "missing", {"9", self, "t", "1", "", pdf.string()}).status, 1);
  EXPECT_EQ(backend(inbox, {"9", self, "t"}).status, 1);
}

TEST(PrintQueueBackend, WritesAsTheInboxOwnerAndOnlyTheirJobs) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  corvel::test::TemporaryFolder folder;
  ::chmod(folder.path().c_str(), 0755);
  const auto inbox = folder.path() / "Print";
  fs::create_directories(inbox);
  ASSERT_EQ(::chown(inbox.c_str(), 65534, 65534), 0);  // nobody's inbox
  const auto pdf = folder.path() / "job";
  std::ofstream(pdf) << "%PDF-1.4 job";

  auto run = backend(inbox, {"1", "root", "Mine", "1", "", pdf.string()});
  ASSERT_EQ(run.status, 0) << run.output;
  struct stat st {};
  ASSERT_EQ(::stat((inbox / "Mine.pdf").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A job of a third user never lands in nobody's inbox.
  fs::permissions(inbox, static_cast<fs::perms>(0700));
  ASSERT_EQ(::chown(inbox.c_str(), 0, 0), 0);
  EXPECT_EQ(backend(inbox, {"2", "nobody", "Theirs", "1", "", pdf.string()}).status, 5);
  EXPECT_FALSE(fs::exists(inbox / "Theirs.pdf"));
}

}  // namespace
}  // namespace ambrel
