#include <gtest/gtest.h>

#include <fstream>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/files/FileReceiver.h"
#include "CorvelKit/files/FileSender.h"
#include "CorvelKit/net/ConnectionError.h"
#include "CorvelKit/protocol/FileChunk.h"
#include "CorvelKit/protocol/FileEnd.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::files {
namespace {

namespace fs = std::filesystem;
using protocol::FileChunk;
using protocol::FileEnd;
using protocol::FileOffer;
using protocol::MessageType;

// A connection that records what is sent and completes each send at once or later, on a loop the
// test runs; it can fail from a given chunk on, and it can hand everything to a receiver.
struct FakeChannel {
  bool deferred = false;
  int failFromChunk = -1;
  bool secure = true;
  FileReceiver* receiver = nullptr;
  boost::asio::io_context io;
  std::vector<std::pair<MessageType, Bytes>> sent;
  int chunks = 0;
  int inFlight = 0, mostInFlight = 0;

  FileSender::Channel channel() {
    return {[this](MessageType type, ByteView payload, FileSender::Completion done) {
              sent.emplace_back(type, Bytes(payload.begin(), payload.end()));
              std::error_code ec;
              if (type == MessageType::fileChunk && chunks++ == failFromChunk) {
                ec = net::ConnectionErrc::notConnected;
              }
              if (receiver) deliver(type, payload);
              if (!done) return;
              mostInFlight = std::max(mostInFlight, ++inFlight);
              auto complete = [this, done, ec] {
                --inFlight;
                done(ec);
              };
              if (deferred) {
                boost::asio::post(io, complete);
              } else {
                complete();
              }
            },
            [this] { return secure; }};
  }
  void deliver(MessageType type, ByteView payload) {
    if (type == MessageType::fileOffer) {
      EXPECT_FALSE(receiver->offer(*JSONCoding::decode<FileOffer>(payload)));
    } else if (type == MessageType::fileChunk) {
      EXPECT_FALSE(receiver->chunk(payload));
    } else if (type == MessageType::fileEnd) {
      auto done = receiver->end(*JSONCoding::decode<FileEnd>(payload));
      if (done && *done) completed = **done;
    }
  }
  std::vector<std::size_t> chunkSizes() const {
    std::vector<std::size_t> sizes;
    for (auto& [type, payload] : sent) {
      if (type == MessageType::fileChunk) sizes.push_back(payload.size() - UUID::size);
    }
    return sizes;
  }
  std::optional<FileEnd> end() const {
    for (auto& [type, payload] : sent) {
      if (type == MessageType::fileEnd) return *JSONCoding::decode<FileEnd>(payload);
    }
    return std::nullopt;
  }
  std::optional<FileReceiver::Completed> completed;
};

struct Outcome {
  std::vector<double> progress;
  std::optional<std::error_code> finished;
  int finishes = 0;
  FileSender::Handlers handlers() {
    return {[this](double f) { progress.push_back(f); },
            [this](std::error_code ec) {
              finished = ec;
              ++finishes;
            }};
  }
};

class FileSenderTest : public ::testing::Test {
 protected:
  test::TemporaryFolder temp;
  fs::path write(const std::string& name, std::size_t size) {
    const auto path = temp.path() / name;
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i * 7 + 3));
    return path;
  }
};

TEST_F(FileSenderTest, SendsOneChunkAtATimeInFileOrder) {
  for (bool deferred : {false, true}) {
    FakeChannel fake;
    fake.deferred = deferred;
    FileReceiver receiver(temp.path() / (deferred ? "later" : "atonce"));
    fake.receiver = &receiver;
    auto sender = FileSender::make(write("data.bin", 150'000), fake.channel(), "print");
    ASSERT_TRUE(sender);
    EXPECT_EQ((*sender)->offer().name, "data.bin");
    EXPECT_EQ((*sender)->offer().size, 150'000);
    Outcome outcome;
    (*sender)->start(outcome.handlers());
    fake.io.run();

    EXPECT_EQ(fake.sent.front().first, MessageType::fileOffer);
    EXPECT_EQ(fake.chunkSizes(), (std::vector<std::size_t>{65536, 65536, 18928}));
    EXPECT_EQ(fake.mostInFlight, 1);
    ASSERT_TRUE(fake.end());
    EXPECT_FALSE(fake.end()->cancelled);
    EXPECT_EQ(outcome.finished, std::error_code());
    EXPECT_EQ(outcome.finishes, 1);
    ASSERT_EQ(outcome.progress.size(), 3u);
    EXPECT_DOUBLE_EQ(outcome.progress[0], 65536.0 / 150'000);
    EXPECT_DOUBLE_EQ(outcome.progress[2], 1.0);
    ASSERT_TRUE(fake.completed);
    EXPECT_EQ(fake.completed->url.filename(), "data.bin");
    EXPECT_EQ(fake.completed->purpose, "print");
    EXPECT_EQ(fs::file_size(fake.completed->url), 150'000u);
  }
}

TEST_F(FileSenderTest, AnEmptyFileIsAnOfferAndAnEnd) {
  FakeChannel fake;
  FileReceiver receiver(temp.path() / "in");
  fake.receiver = &receiver;
  auto sender = FileSender::make(write("empty", 0), fake.channel());
  ASSERT_TRUE(sender);
  Outcome outcome;
  (*sender)->start(outcome.handlers());
  ASSERT_EQ(fake.sent.size(), 2u);
  EXPECT_FALSE(fake.end()->cancelled);
  EXPECT_TRUE(outcome.progress.empty());
  ASSERT_TRUE(fake.completed);
  EXPECT_EQ(fs::file_size(fake.completed->url), 0u);
}

// Each way a transfer stops early: the peer hears a cancelled end and the owner the reason.
TEST_F(FileSenderTest, StoppedTransfersEndCancelled) {
  struct Case {
    const char* what;
    std::function<void(FakeChannel&, FileSender&)> during;  // after the first chunk
    std::error_code expected;
  };
  const Case cases[] = {
      {"cancel", [](FakeChannel&, FileSender& s) { s.cancel(); }, FileTransferErrc::cancelled},
      {"refused", [](FakeChannel&, FileSender& s) { s.refusedByPeer(); }, FileTransferErrc::refused},
      {"network", [](FakeChannel& f, FileSender&) { f.failFromChunk = 1; },
       net::ConnectionErrc::notConnected},
      {"shrunk", [this](FakeChannel&, FileSender&) { fs::resize_file(temp.path() / "big", 70'000); },
       FileTransferErrc::fileChanged},
  };
  for (const auto& c : cases) {
    FakeChannel fake;
    fake.deferred = true;
    auto sender = FileSender::make(write("big", 300'000), fake.channel());
    ASSERT_TRUE(sender);
    Outcome outcome;
    (*sender)->start(outcome.handlers());
    c.during(fake, **sender);
    fake.io.run();
    EXPECT_EQ(outcome.finished, c.expected) << c.what;
    EXPECT_EQ(outcome.finishes, 1) << c.what;
    ASSERT_TRUE(fake.end()) << c.what;
    EXPECT_TRUE(fake.end()->cancelled) << c.what;
    EXPECT_LE(fake.chunkSizes().size(), 2u) << c.what;
  }
}

TEST_F(FileSenderTest, OnlyRegularFilesAreSent) {
  FakeChannel fake;
  auto folder = FileSender::make(temp.path(), fake.channel());
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error(), FileTransferErrc::notRegularFile);
  auto missing = FileSender::make(temp.path() / "missing", fake.channel());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
}

TEST_F(FileSenderTest, NothingIsAnnouncedWithoutASecureChannel) {
  FakeChannel fake;
  fake.secure = false;
  fake.failFromChunk = 0;
  auto sender = FileSender::make(write("f", 10), fake.channel());
  Outcome outcome;
  (*sender)->start(outcome.handlers());
  EXPECT_EQ(fake.chunkSizes().size(), 1u);
  EXPECT_EQ(fake.sent.size(), 1u);  // the chunk that failed; no offer, no end
  EXPECT_EQ(outcome.finished, net::ConnectionErrc::notConnected);
}

}  // namespace
}  // namespace corvel::files
