#include "Ambrel_Host/controller/PrimaryMACAddress.h"

#include <algorithm>

#include "CorvelKit/net/NetworkInterfaces.h"

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
  std::vector<InterfaceAddress> candidates;
  for (auto& i : corvel::net::NetworkInterfaces::current()->list()) {
    if (i.loopback || !i.hardwareAddress) continue;
    candidates.push_back({std::move(i.name), *i.hardwareAddress});
  }
  return choosePrimaryMACAddress(std::move(candidates));
}

}  // namespace ambrel
