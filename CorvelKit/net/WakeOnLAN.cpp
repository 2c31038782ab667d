#include "CorvelKit/net/WakeOnLAN.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <charconv>

#include "CorvelKit/base/UniqueFd.h"

namespace corvel::net {

std::optional<WakeOnLAN::MACAddress> WakeOnLAN::parse(std::string_view text) {
  MACAddress out{};
  std::size_t count = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find_first_of(":-", start);
    if (end == std::string_view::npos) end = text.size();
    auto piece = text.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    if (piece.front() == '+') piece.remove_prefix(1);
    unsigned value = 0;
    auto [p, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value, 16);
    if (piece.empty() || ec != std::errc{} || p != piece.data() + piece.size() || value > 255) {
      return std::nullopt;
    }
    if (count == out.size()) return std::nullopt;
    out[count++] = static_cast<std::uint8_t>(value);
  }
  if (count != out.size()) return std::nullopt;
  return out;
}

WakeOnLAN::MagicPacket WakeOnLAN::magicPacket(const MACAddress& address) {
  MagicPacket packet{};
  for (std::size_t i = 0; i < 6; ++i) packet[i] = 0xFF;
  for (std::size_t r = 0; r < 16; ++r) {
    for (std::size_t i = 0; i < 6; ++i) packet[6 + r * 6 + i] = address[i];
  }
  return packet;
}

std::string WakeOnLAN::format(const MACAddress& address) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < address.size(); ++i) {
    if (i > 0) s.push_back(':');
    s.push_back(digits[address[i] >> 4]);
    s.push_back(digits[address[i] & 0xF]);
  }
  return s;
}

void WakeOnLAN::wake(std::string_view macAddress) {
  wake(macAddress, "255.255.255.255", {9, 7});
}

void WakeOnLAN::wake(std::string_view macAddress, const std::string& ipv4Destination,
                     const std::vector<std::uint16_t>& ports) {
  auto address = parse(macAddress);
  if (!address) return;
  auto packet = magicPacket(*address);

  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return;
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (::inet_pton(AF_INET, ipv4Destination.c_str(), &to.sin_addr) != 1) return;
  for (auto port : ports) {
    to.sin_port = htons(port);
    for (int i = 0; i < 3; ++i) {
      // Fire and forget: a lost packet is no error here.
      (void)::sendto(fd.get(), packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to);
    }
  }
}

}  // namespace corvel::net
