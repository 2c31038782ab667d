#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>

#include "Ambrel_Host/reach/HostListener.h"

namespace ambrel {
namespace {

using tcp = boost::asio::ip::tcp;

std::uint16_t freePort() {
  boost::asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(tcp::v4(), 0));
  return probe.local_endpoint().port();
}

// Out of descriptors, the listener takes a waiting connection off its queue and closes it
// (keeping a spare descriptor for that), and serves again as soon as descriptors are free.
TEST(HostListenerTest, OutOfDescriptorsTheNewestConnectionIsShedAndServingGoesOn) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
  // The sanitizers' own run-time needs descriptors for its checks, which this test takes away.
  GTEST_SKIP() << "not meaningful under the sanitizers";
#endif
#endif
  boost::asio::io_context io;
  const auto port = freePort();
  HostListener listener(io.get_executor(), port);
  std::vector<tcp::socket> accepted;
  ASSERT_FALSE(listener.start([&](tcp::socket s) { accepted.push_back(std::move(s)); }, {}));

  tcp::socket shed(io);
  tcp::socket later(io);
  shed.open(tcp::v4());
  later.open(tcp::v4());
  io.poll();  // the reactor and its descriptors exist before the descriptors run out

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  std::vector<int> filler;
  {
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(::dup(0)) + 1;  // the next descriptor is the last
    ::close(static_cast<int>(low.rlim_cur) - 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  }
  shed.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  io.run_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(accepted.empty());
  // The connection was closed, not left waiting in the queue.
  char byte = 0;
  boost::system::error_code ec;
  shed.non_blocking(false);
  boost::asio::read(shed, boost::asio::buffer(&byte, 1), ec);
  EXPECT_TRUE(ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset) << ec.message();

  for (int fd : filler) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  later.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  for (int i = 0; i < 50 && accepted.empty(); ++i) io.run_for(std::chrono::milliseconds(20));
  EXPECT_EQ(accepted.size(), 1u);
  listener.cancel();
}

}  // namespace
}  // namespace ambrel
