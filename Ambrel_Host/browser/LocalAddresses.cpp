#include "Ambrel_Host/browser/LocalAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace ambrel {

std::vector<std::string> localIPv4Addresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  constexpr std::array<std::string_view, 4> skipped = {"utun", "awdl", "llw", "anpi"};
  for (auto* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const std::string_view name = entry->ifa_name != nullptr ? entry->ifa_name : "";
    if (std::any_of(skipped.begin(), skipped.end(),
                    [&](std::string_view prefix) { return name.starts_with(prefix); })) {
      continue;
    }
    sockaddr_in address{};
    std::memcpy(&address, entry->ifa_addr, sizeof address);
    std::array<char, INET_ADDRSTRLEN> text{};
    if (::inet_ntop(AF_INET, &address.sin_addr, text.data(), text.size()) != nullptr) {
      out.emplace_back(text.data());
    }
  }
  ::freeifaddrs(list);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace ambrel
