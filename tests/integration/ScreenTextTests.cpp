#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TextWindow.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::colourDistance;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

struct Block {
  int x, y;
  std::uint32_t rgb;
};
constexpr Block kBlocks[] = {{0, 300, 0xD02020}, {160, 300, 0x20B040}, {320, 300, 0x2040D0}, {480, 300, 0x808080}};

// A real host on a 640×480 display with two lines of text and four coloured blocks under them.
class ScreenTextTest : public ::testing::Test {
 protected:
  corvel::test::XvfbServer screen{"640x480x24"};
  corvel::test::TemporaryFolder clientHome;
  std::unique_ptr<corvel::test::ScreenPainter> painter;
  std::unique_ptr<corvel::test::TextWindow> first, second;
  std::unique_ptr<corvel::test::HostProcess> host;

  void SetUp() override {
    ASSERT_TRUE(screen.isRunning()) << screen.errors();
    painter = std::make_unique<corvel::test::ScreenPainter>(screen.displayName());
    painter->fill(0, 0, 640, 480, 0xFFFFFF);
    for (const auto& b : kBlocks) painter->fill(b.x, b.y, 160, 180, b.rgb);
    painter->movePointer(639, 479);
    first = std::make_unique<corvel::test::TextWindow>(screen.displayName(), 10, 40, "The quick brown fox", 3);
    second = std::make_unique<corvel::test::TextWindow>(screen.displayName(), 10, 160, "jumps over the lazy dog", 3);
    ASSERT_TRUE(first->isShown() && second->isShown());
    second->activate("ocrtest", "OCR Test");

    host = std::make_unique<corvel::test::HostProcess>(
        kHost, corvel::test::HostProcess::Options{.settings = R"({"askBeforeConnecting": false})",
                                                  .environment = {{"DISPLAY", screen.displayName()}}});
    ASSERT_TRUE(host->isReady()) << host->process().errors();
  }
  void TearDown() override {
    if (host) EXPECT_EQ(host->stop(), 0);
  }
  ChildProcess corvel(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"127.0.0.1", "--code", host->accessCode()});
    return ChildProcess(kClient, std::move(args), {{"AMBREL_HOME", clientHome.path().string()}});
  }
};

TEST_F(ScreenTextTest, TextOnTheScreenIsReadInOrder) {
  auto text = corvel({"text"});
  ASSERT_EQ(text.wait(60s), 0) << text.output() << text.errors();
  const auto out = text.output();
  EXPECT_NE(out.find("frontmost: OCR Test\n"), std::string::npos) << out;
  // The enlarged bitmap font leaves the case of a letter or two open to reading ("Fox").
  auto lower = out;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const auto a = lower.find("line: the quick brown fox\n");
  const auto b = lower.find("line: jumps over the lazy dog\n");
  ASSERT_NE(a, std::string::npos) << out;
  ASSERT_NE(b, std::string::npos) << out;
  EXPECT_LT(a, b);
}

TEST_F(ScreenTextTest, TheScreenshotIsTheDisplayAsDrawn) {
  const auto file = clientHome.path() / "shot.jpg";
  auto shot = corvel({"screenshot", file.string()});
  ASSERT_EQ(shot.wait(60s), 0) << shot.output() << shot.errors();

  std::ifstream in(file, std::ios::binary);
  std::vector<unsigned char> jpeg{std::istreambuf_iterator<char>(in), {}};
  ASSERT_FALSE(jpeg.empty());
  tjhandle decoder = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  ASSERT_EQ(tjDecompressHeader3(decoder, jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colourspace), 0);
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);
  std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  ASSERT_EQ(tjDecompress2(decoder, jpeg.data(), jpeg.size(), rgb.data(), width, 0, height, TJPF_RGB, 0), 0);
  tjDestroy(decoder);
  auto at = [&](int x, int y) {
    const auto* p = &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3];
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
  };
  for (const auto& b : kBlocks) {
    for (auto [dx, dy] : {std::pair{20, 20}, std::pair{80, 90}, std::pair{140, 160}}) {
      EXPECT_LE(colourDistance(at(b.x + dx, b.y + dy), b.rgb), 12)
          << std::hex << at(b.x + dx, b.y + dy) << " for " << b.rgb;
    }
  }
  EXPECT_LE(colourDistance(at(620, 20), 0xFFFFFF), 12);
  EXPECT_LE(colourDistance(at(15, 45), 0xFFFFFF), 12);  // inside the text window's margin
}

}  // namespace
}  // namespace ambrel
