#include "Ambrel_Host/controller/PrimaryMACAddress.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <algorithm>

namespace ambrel {

namespace {
bool isWired(const std::string& n) { return n.starts_with("en") || n.starts_with("eth"); }
}  // namespace

std::optional<std::string> choosePrimaryMACAddress(std::vector<InterfaceAddress> candidates) {
  std::erase_if(candidates, [](const InterfaceAddress& c) {
    return std::all_of(c.address.begin(), c.address.end(), [](auto b) { return b == 0; });
  });
  if (candidates.empty()) return std::nullopt;
  auto best = std::min_element(candidates.begin(), candidates.end(), [](auto& a, auto& b) {
    bool aw = isWired(a.interfaceName), bw = isWired(b.interfaceName);
    if (aw != bw) return aw;
    return a.interfaceName < b.interfaceName;
  });
  return corvel::net::WakeOnLAN::format(best->address);
}

std::optional<std::string> primaryMACAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::vector<InterfaceAddress> candidates;
  for (auto* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET) continue;
    if ((i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
    if (ll->sll_halen != 6) continue;
    InterfaceAddress c{i->ifa_name, {}};
    std::copy(ll->sll_addr, ll->sll_addr + 6, c.address.begin());
    candidates.push_back(std::move(c));
  }
  ::freeifaddrs(list);
  return choosePrimaryMACAddress(std::move(candidates));
}

}  // namespace ambrel
