// Two computers, each behind its own masquerading router: what each learns from a STUN server on
// the internet between them, and the UDP hole punch that lets the viewer's datagrams through the
// host's router.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <future>

#include "CorvelKit/base/UniqueFd.h"
#include "CorvelKit/net/StunClient.h"
#include "tests/support/NatLab.h"
#include "tests/support/StunServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::UniqueFd;
using corvel::net::StunClient;
using corvel::test::NatLab;
using corvel::test::NetworkNamespace;

// A UDP socket on `port` of every address, made inside `space` (so its traffic is that
// namespace's), with address reuse as the puncher's sockets have.
UniqueFd udpSocket(NetworkNamespace& space, std::uint16_t port) {
  UniqueFd fd;
  space.run([&] {
    fd = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) fd = UniqueFd();
  });
  return fd;
}

void sendTo(const UniqueFd& fd, const std::string& host, std::uint16_t port, std::string_view bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, host.c_str(), &to.sin_addr);
  ::sendto(fd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// The next datagram within `wait`, or nothing.
std::optional<std::string> receive(const UniqueFd& fd, std::chrono::milliseconds wait) {
  pollfd p{fd.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) return std::nullopt;
  char buffer[256];
  const auto n = ::recv(fd.get(), buffer, sizeof buffer, 0);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

// Discovery from `localPort` inside `space`, against `server`.
std::optional<StunClient::Discovery> discover(NetworkNamespace& space,
                                              const corvel::test::StunServer& server,
                                              std::uint16_t localPort) {
  std::promise<std::optional<StunClient::Discovery>> found;
  space.run([&] {
    StunClient::discover(space.executor(), server.address(), server.port(), 4s,
                         [&](std::optional<StunClient::Discovery> result) { found.set_value(result); },
                         localPort);
  });
  return found.get_future().get();
}

TEST(HolePunch, EachSideLearnsItsRouterAndAPunchLetsTheViewerIn) {
  NatLab lab;
  ASSERT_TRUE(lab.isReady()) << lab.errors();
  corvel::test::StunServer stun(lab.internet(), NatLab::internetAddress);
  ASSERT_TRUE(stun.isRunning()) << stun.errors();

  // Each side's public address is its router's.
  constexpr std::uint16_t hostPort = 41001, viewerPort = 42002;
  auto host = discover(lab.host(), stun, hostPort);
  auto viewer = discover(lab.viewer(), stun, viewerPort);
  ASSERT_TRUE(host && viewer);
  EXPECT_EQ(host->reflexive.host, NatLab::routerAPublic);
  EXPECT_EQ(viewer->reflexive.host, NatLab::routerBPublic);
  EXPECT_EQ(host->localPort, hostPort);
  EXPECT_EQ(viewer->localPort, viewerPort);

  auto hostSocket = udpSocket(lab.host(), hostPort);
  auto viewerSocket = udpSocket(lab.viewer(), viewerPort);
  ASSERT_TRUE(hostSocket && viewerSocket);

  // Unasked, the viewer's datagram stops at the host's router (and leaves nothing there that
  // would spoil the punch that follows).
  sendTo(viewerSocket, host->reflexive.host, host->reflexive.port, "hello?");
  EXPECT_FALSE(receive(hostSocket, 300ms));

  // The host punches toward the viewer's public address from its listening port (these stop at
  // the viewer's router); now the viewer gets through, and the answer comes back.
  for (int i = 0; i < 5; ++i) sendTo(hostSocket, viewer->reflexive.host, viewer->reflexive.port, "\x09");
  sendTo(viewerSocket, host->reflexive.host, host->reflexive.port, "hello");
  EXPECT_EQ(receive(hostSocket, 2s), "hello");
  sendTo(hostSocket, viewer->reflexive.host, viewer->reflexive.port, "welcome");
  auto answer = receive(viewerSocket, 2s);
  // The punches that reached the viewer's router after its own datagram opened it may arrive first.
  while (answer == "\x09") answer = receive(viewerSocket, 2s);
  EXPECT_EQ(answer, "welcome");
}

}  // namespace
}  // namespace ambrel
