#include "Ambrel_Host/reach/DefaultGateway.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace ambrel {

namespace {

constexpr unsigned routeUp = 0x1;
constexpr unsigned routeViaGateway = 0x2;

std::optional<std::uint32_t> hexField(std::string_view text) {
  std::uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> DefaultGateway::current() {
  // The calling thread's namespace: /proc/net follows the process's first thread.
  std::ifstream file("/proc/thread-self/net/route");
  if (!file) return std::nullopt;
  std::stringstream text;
  text << file.rdbuf();
  return fromRouteTable(text.str());
}

std::optional<std::string> DefaultGateway::fromRouteTable(std::string_view table) {
  std::optional<std::uint32_t> best;
  std::uint32_t bestMetric = std::numeric_limits<std::uint32_t>::max();
  std::istringstream lines{std::string(table)};
  std::string line;
  std::getline(lines, line);  // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string field; fields >> field && f.size() < 8;) f.push_back(field);
    if (f.size() < 8) continue;
    auto destination = hexField(f[1]);
    auto gateway = hexField(f[2]);
    auto flags = hexField(f[3]);
    auto mask = hexField(f[7]);
    std::uint32_t metric = 0;
    auto [end, ec] = std::from_chars(f[6].data(), f[6].data() + f[6].size(), metric);
    if (!destination || !gateway || !flags || !mask || ec != std::errc{}) continue;
    if (*destination != 0 || *mask != 0 || *gateway == 0) continue;
    if ((*flags & (routeUp | routeViaGateway)) != (routeUp | routeViaGateway)) continue;
    if (!best || metric < bestMetric) {
      best = gateway;
      bestMetric = metric;
    }
  }
  if (!best) return std::nullopt;
  // The kernel writes the address as the number it holds in memory: network order already.
  in_addr address{};
  address.s_addr = *best;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return std::string(text);
}

}  // namespace ambrel
