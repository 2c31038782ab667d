#include "Ambrel_Host/browser/LocalAddresses.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "CorvelKit/net/NetworkInterfaces.h"

namespace ambrel {

namespace {

template <class Keep>
std::vector<std::string> addresses(Keep keep) {
  constexpr std::array<std::string_view, 4> skipped = {"utun", "awdl", "llw", "anpi"};
  std::vector<std::string> out;
  for (const auto& i : corvel::net::NetworkInterfaces::current()->list()) {
    if (!i.up || i.loopback) continue;
    if (std::any_of(skipped.begin(), skipped.end(),
                    [&](std::string_view prefix) { return i.name.starts_with(prefix); })) {
      continue;
    }
    for (const auto& address : i.addresses) {
      if (keep(address)) {
        auto text = address.to_string();
        out.push_back(text.substr(0, text.find('%')));
      }
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

std::vector<std::string> localIPv4Addresses() {
  return addresses([](const auto& address) { return address.is_v4(); });
}

std::vector<std::string> globalIPv6Addresses() {
  return addresses([](const auto& address) {
    if (!address.is_v6()) return false;
    auto bytes = address.to_v6().to_bytes();
    return (bytes[0] & 0xE0) == 0x20;  // 2000::/3
  });
}

}  // namespace ambrel
