#include "tests/support/ScriptedGateway.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "CorvelKit/base/BigEndian.h"
#include "CorvelKit/net/NatPmp.h"

namespace corvel::test {

using net::NatPmp;

ScriptedGateway::Script ScriptedGateway::granting(const std::string& external,
                                                  std::uint16_t grantedPort, std::uint32_t lifetime) {
  return [=](const Bytes& request) -> std::optional<Bytes> {
    if (request.size() == 2 && request[1] == NatPmp::externalAddressOpcode) {
      Bytes answer(12, 0);
      answer[1] = 128;
      storeU32BE(answer.data() + 4, 1000);
      ::inet_pton(AF_INET, external.c_str(), answer.data() + 8);
      return answer;
    }
    if (request.size() == 12 && request[1] == NatPmp::mapTCPOpcode) {
      Bytes answer(16, 0);
      answer[1] = 128 + NatPmp::mapTCPOpcode;
      storeU32BE(answer.data() + 4, 1000);
      std::copy(request.begin() + 4, request.begin() + 6, answer.begin() + 8);
      const bool removing = loadU32BE(request.data() + 8) == 0;
      storeU16BE(answer.data() + 10, removing ? 0 : grantedPort);
      storeU32BE(answer.data() + 12, removing ? 0 : lifetime);
      return answer;
    }
    return std::nullopt;
  };
}

ScriptedGateway::ScriptedGateway(const std::string& address, std::uint16_t port, Script script)
    : script_(std::move(script)) {
  fd_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
  socklen_t size = sizeof at;
  if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
      ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&at), &size) == 0) {
    port_ = ntohs(at.sin_port);
  }
  thread_ = std::thread([this] { serve(); });
}

ScriptedGateway::~ScriptedGateway() {
  stopping_ = true;
  thread_.join();
}

std::vector<ScriptedGateway::Request> ScriptedGateway::waitFor(std::size_t count,
                                                               std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
  return requests_;
}

void ScriptedGateway::setScript(Script script) {
  std::lock_guard lock(mutex_);
  script_ = std::move(script);
}

void ScriptedGateway::serve() {
  while (!stopping_) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, 50) != 1) continue;
    std::uint8_t buffer[64];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const auto n =
        ::recvfrom(fd_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n <= 0) continue;
    Bytes request(buffer, buffer + n);
    std::optional<Bytes> answer;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back({request, std::chrono::steady_clock::now()});
      answer = script_(request);
    }
    changed_.notify_all();
    if (answer) {
      ::sendto(fd_.get(), answer->data(), answer->size(), 0, reinterpret_cast<sockaddr*>(&from), size);
    }
  }
}

}  // namespace corvel::test
