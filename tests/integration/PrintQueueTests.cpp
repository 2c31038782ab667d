#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "Ambrel_Host/shell/RemotePrint.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corvel::test::ChildProcess;

// A one-page PDF that CUPS's own filters accept.
std::string minimalPdf() {
  const std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>",
                                            "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>"};
  std::string out = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const auto xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (auto offset : offsets) {
    auto digits = std::to_string(offset);
    out += std::string(10 - digits.size(), '0') + digits + " 00000 n \n";
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return out;
}

// A CUPS scheduler of the test's own: its configuration, spool and logs in a temporary folder, a
// Unix socket to talk to it, and the project's backend among the system's filters.
class CupsServer {
 public:
  CupsServer() {
    ::chmod(root_.path().c_str(), 0755);  // the filters run as lp
    for (auto folder : {"server", "bin/backend", "spool", "tmp", "cache", "state", "log"}) {
      fs::create_directories(root_.path() / folder);
    }
    for (const auto& entry : fs::directory_iterator("/usr/lib/cups")) {
      if (entry.path().filename() != "backend") fs::create_symlink(entry.path(), root_.path() / "bin" / entry.path().filename());
    }
    // Root's own, 0700: CUPS runs it as root, and it acts as the inbox's owner.
    const auto backend = root_.path() / "bin" / "backend" / "ambrel";
    fs::copy_file(std::string(CORVEL_SOURCE_DIR) + "/resources/cups/ambrel", backend);
    fs::permissions(backend, static_cast<fs::perms>(0700));
    const auto r = root_.path().string();
    std::ofstream(root_.path() / "server" / "cupsd.conf")
        << "Listen " << socket() << "\nLogLevel debug\nWebInterface No\nBrowsing No\n"
        << "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
        << "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";
    std::ofstream(root_.path() / "server" / "cups-files.conf")
        << "ServerRoot " << r << "/server\nServerBin " << r << "/bin\nDataDir /usr/share/cups\n"
        << "RequestRoot " << r << "/spool\nTempDir " << r << "/tmp\nCacheDir " << r << "/cache\n"
        << "StateDir " << r << "/state\nAccessLog " << r << "/log/access_log\nErrorLog " << r
        << "/log/error_log\nPageLog " << r << "/log/page_log\nUser lp\nGroup lp\nSystemGroup root\n"
        << "Sandboxing Relaxed\nFileDevice No\n";
    daemon_ = std::make_unique<ChildProcess>(
        "/usr/sbin/cupsd", std::vector<std::string>{"-f", "-c", r + "/server/cupsd.conf", "-s", r + "/server/cups-files.conf"});
    for (int i = 0; i < 100 && !fs::exists(socket()); ++i) std::this_thread::sleep_for(50ms);
  }

  std::string socket() const { return (root_.path() / "cups.sock").string(); }
  std::string errorLog() const {
    std::ifstream in(root_.path() / "log" / "error_log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // A CUPS command against this scheduler; its exit status.
  std::optional<int> run(const std::string& program, std::vector<std::string> args) {
    ChildProcess command(program, std::move(args), {{"CUPS_SERVER", socket()}});
    auto status = command.wait(20s);
    if (status != 0) ADD_FAILURE() << program << ": " << command.output() << command.errors();
    return status;
  }

 private:
  corvel::test::TemporaryFolder root_;
  std::unique_ptr<ChildProcess> daemon_;
};

bool hasCups() {
  return fs::exists("/usr/sbin/cupsd") && fs::exists("/usr/bin/lp") && fs::exists("/usr/sbin/lpadmin");
}

TEST(PrintQueue, DocumentPrintedWithLpReachesTheHostsInbox) {
  if (::getuid() != 0) GTEST_SKIP() << "the test's own CUPS scheduler needs root";
  if (!hasCups()) GTEST_SKIP() << "CUPS is not installed (scripts/install-deps.sh)";
  corvel::test::TemporaryHome home;
  boost::asio::io_context loop;
  std::vector<fs::path> offered;
  RemotePrint::Options options;
  options.executor = loop.get_executor();
  options.inbox = home.path() / "data" / "Print";
  options.onDocument = [&](const fs::path& p) { offered.push_back(p); };
  auto print = RemotePrint::make(std::move(options));
  print->start();
  ::chmod(home.path().c_str(), 0755);

  CupsServer cups;
  ASSERT_EQ(cups.run("/usr/sbin/lpadmin", {"-p", "Ambrel", "-E", "-v", "ambrel:" + (home.path() / "data" / "Print").string(),
                                 "-P", std::string(CORVEL_SOURCE_DIR) + "/resources/cups/ambrel.ppd"}),
            0);
  const auto pdf = home.path() / "ticket.pdf";
  std::ofstream(pdf, std::ios::binary) << minimalPdf();
  ASSERT_EQ(cups.run("/usr/bin/lp", {"-d", "Ambrel", "-t", "Train/Ticket: Monday", pdf.string()}), 0);

  for (int i = 0; i < 300 && offered.empty(); ++i) {
    loop.run_for(100ms);
    loop.restart();
  }
  ASSERT_EQ(offered.size(), 1u) << cups.errorLog();
  EXPECT_EQ(offered[0].filename(), "Train-Ticket- Monday.pdf");
  std::ifstream in(offered[0], std::ios::binary);
  std::string head(5, '\0');
  in.read(head.data(), 5);
  EXPECT_EQ(head, "%PDF-");
}

}  // namespace
}  // namespace ambrel
