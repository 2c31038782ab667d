#include "Ambrel_Host/browser/LocalAddresses.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "CorvelKit/net/NetworkInterfaces.h"

namespace ambrel {

std::vector<std::string> localIPv4Addresses() {
  constexpr std::array<std::string_view, 4> skipped = {"utun", "awdl", "llw", "anpi"};
  std::vector<std::string> out;
  for (const auto& i : corvel::net::NetworkInterfaces::current()->list()) {
    if (!i.up || i.loopback) continue;
    if (std::any_of(skipped.begin(), skipped.end(),
                    [&](std::string_view prefix) { return i.name.starts_with(prefix); })) {
      continue;
    }
    for (const auto& address : i.addresses) {
      if (address.is_v4()) out.push_back(address.to_string());
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace ambrel
