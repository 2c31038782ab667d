#include "CorvelKit/net/ConnectionRoute.h"

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <string>

namespace corvel::net {

std::string_view name(ConnectionRoute route) {
  switch (route) {
    case ConnectionRoute::localNetwork: return "localNetwork";
    case ConnectionRoute::privateNetwork: return "privateNetwork";
    case ConnectionRoute::internet: return "internet";
    case ConnectionRoute::natTraversal: return "natTraversal";
    case ConnectionRoute::unknown: return "unknown";
  }
  return "unknown";
}

namespace {

ConnectionRoute classifyV4(const std::uint8_t* a) {
  if (a[0] == 10 || a[0] == 127) return ConnectionRoute::localNetwork;
  if (a[0] == 169 && a[1] == 254) return ConnectionRoute::localNetwork;
  if (a[0] == 172 && (a[1] & 0xF0) == 16) return ConnectionRoute::localNetwork;
  if (a[0] == 192 && a[1] == 168) return ConnectionRoute::localNetwork;
  if (a[0] == 100 && (a[1] & 0xC0) == 64) return ConnectionRoute::privateNetwork;
  return ConnectionRoute::internet;
}

ConnectionRoute classifyV6(const std::uint8_t* a) {
  if (a[0] == 0xFD && a[1] == 0x7A && a[2] == 0x11 && a[3] == 0x5C) {
    return ConnectionRoute::privateNetwork;
  }
  if (a[0] == 0xFE && (a[1] & 0xC0) == 0x80) return ConnectionRoute::localNetwork;
  if ((a[0] & 0xFE) == 0xFC) return ConnectionRoute::localNetwork;
  static constexpr std::array<std::uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0,
                                                                 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), a)) return classifyV4(a + 12);
  return ConnectionRoute::internet;
}

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

ConnectionRoute classifyRoute(std::optional<std::string_view> host, bool holePunched) {
  if (holePunched) return ConnectionRoute::natTraversal;
  if (!host || host->empty()) return ConnectionRoute::unknown;
  std::string text(host->substr(0, host->find('%')));

  std::uint8_t addr[16];
  if (::inet_pton(AF_INET, text.c_str(), addr) == 1) return classifyV4(addr);
  if (::inet_pton(AF_INET6, text.c_str(), addr) == 1) return classifyV6(addr);
  if (endsWith(text, ".local") || endsWith(text, ".local.")) return ConnectionRoute::localNetwork;
  return ConnectionRoute::unknown;
}

}  // namespace corvel::net
