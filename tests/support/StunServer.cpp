#include "tests/support/StunServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "CorvelKit/base/UniqueFd.h"
#include "CorvelKit/net/Stun.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NetworkNamespace.h"

namespace corvel::test {

namespace {

// A UDP port that was free a moment ago, or 0.
std::uint16_t freeUdpPort(const std::string& address) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  if (!fd || ::inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1) return 0;
  socklen_t size = sizeof at;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    return 0;
  }
  return ntohs(at.sin_port);
}

// Whether a binding request to the server is answered within `wait`.
bool answers(const std::string& address, std::uint16_t port, std::chrono::milliseconds wait) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (!fd || ::inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return false;
  const auto id = net::Stun::newTransactionID();
  const auto request = net::Stun::request(id);
  if (::sendto(fd.get(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to) < 0) {
    return false;
  }
  pollfd p{fd.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) return false;
  std::uint8_t answer[1500];
  const auto n = ::recv(fd.get(), answer, sizeof answer, 0);
  return n > 0 && net::Stun::reflexiveAddress(ByteView(answer, static_cast<std::size_t>(n)), id);
}

}  // namespace

StunServer::StunServer(std::string address) : address_(std::move(address)) { start(nullptr); }

StunServer::StunServer(NetworkNamespace& space, std::string address) : address_(std::move(address)) {
  start(&space);
}

void StunServer::start(NetworkNamespace* space) {
  // Free ports, and whether the server answers, as seen where it runs.
  auto inside = [space](const std::function<void()>& work) {
    if (space) {
      space->run(work);
    } else {
      work();
    }
  };
  const std::filesystem::path program = "/usr/bin/turnserver";
  if (!std::filesystem::exists(program)) {
    errors_ = "no STUN server (Debian's coturn) installed";
    return;
  }
  inside([&] { port_ = freeUdpPort(address_); });
  if (port_ == 0) {
    errors_ = "no free UDP port on " + address_;
    return;
  }
  const auto folder = folder_.path().string();
  std::vector<std::string> arguments{"-n", "--stun-only", "--no-tls", "--no-dtls", "--no-cli",
                               "--listening-ip=" + address_,
                               "--listening-port=" + std::to_string(port_),
                               "--relay-ip=" + address_, "--db=" + folder + "/turndb",
                               "--pidfile=" + folder + "/turnserver.pid",
                               "--log-file=" + folder + "/turn.log", "--no-stdout-log"};
  if (space) {
    arguments.insert(arguments.begin(), {"netns", "exec", space->name(), program.string()});
    server_ = std::make_unique<ChildProcess>("/usr/sbin/ip", std::move(arguments));
  } else {
    server_ = std::make_unique<ChildProcess>(program.string(), std::move(arguments));
  }
  for (int attempt = 0; attempt < 50 && !running_; ++attempt) {
    if (server_->wait(std::chrono::milliseconds(0))) break;
    inside([&] { running_ = answers(address_, port_, std::chrono::milliseconds(100)); });
  }
  if (!running_) errors_ = "the STUN server didn't answer: " + server_->errors();
}

StunServer::~StunServer() = default;

}  // namespace corvel::test
