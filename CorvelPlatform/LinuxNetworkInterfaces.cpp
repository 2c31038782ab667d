#include "CorvelPlatform/LinuxNetworkInterfaces.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace corvel::platform {

namespace {

struct IfaddrsDeleter {
  void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};
using IfaddrsPtr = std::unique_ptr<ifaddrs, IfaddrsDeleter>;

}  // namespace

std::vector<net::NetworkInterface> LinuxNetworkInterfaces::list() const {
  std::vector<net::NetworkInterface> out;
  ifaddrs* head = nullptr;
  if (::getifaddrs(&head) != 0) return out;
  IfaddrsPtr owned(head);

  // getifaddrs gives one entry per address (and one AF_PACKET entry per interface): gather them
  // by name, in the order the names first appear.
  for (const ifaddrs* entry = head; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr) continue;
    auto it = std::find_if(out.begin(), out.end(), [&](const net::NetworkInterface& i) {
      return i.name == entry->ifa_name;
    });
    if (it == out.end()) {
      out.push_back({});
      it = std::prev(out.end());
      it->name = entry->ifa_name;
    }
    it->up = it->up || (entry->ifa_flags & IFF_UP) != 0;
    it->loopback = it->loopback || (entry->ifa_flags & IFF_LOOPBACK) != 0;
    if (entry->ifa_addr == nullptr) continue;

    switch (entry->ifa_addr->sa_family) {
      case AF_INET: {
        sockaddr_in sin{};
        std::memcpy(&sin, entry->ifa_addr, sizeof sin);
        it->addresses.emplace_back(boost::asio::ip::address_v4(ntohl(sin.sin_addr.s_addr)));
        break;
      }
      case AF_INET6: {
        sockaddr_in6 sin6{};
        std::memcpy(&sin6, entry->ifa_addr, sizeof sin6);
        boost::asio::ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), &sin6.sin6_addr, bytes.size());
        it->addresses.emplace_back(boost::asio::ip::address_v6(bytes, sin6.sin6_scope_id));
        break;
      }
      case AF_PACKET: {
        sockaddr_ll ll{};
        std::memcpy(&ll, entry->ifa_addr, sizeof ll);
        if (ll.sll_halen != 6) break;
        net::WakeOnLAN::MACAddress mac{};
        std::copy(ll.sll_addr, ll.sll_addr + mac.size(), mac.begin());
        it->hardwareAddress = mac;
        break;
      }
      default:
        break;
    }
  }
  return out;
}

}  // namespace corvel::platform

namespace corvel::net {

// Linux is the one platform: its implementation is the platform's.
std::shared_ptr<const NetworkInterfaces> NetworkInterfaces::platform() {
  static const auto shared = std::make_shared<const corvel::platform::LinuxNetworkInterfaces>();
  return shared;
}

}  // namespace corvel::net
