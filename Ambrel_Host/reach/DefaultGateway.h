#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ambrel {

// The IPv4 router this computer's default route goes through, from the kernel's routing table.
struct DefaultGateway {
  // The table of the network namespace of the calling thread; nothing without a default route.
  static std::optional<std::string> current();
  // The gateway of the default route with the lowest metric in a table in the form of
  // /proc/net/route (a header line, then one whitespace-separated route per line, addresses in
  // hexadecimal in the machine's byte order), as dotted text.
  static std::optional<std::string> fromRouteTable(std::string_view table);
};

}  // namespace ambrel
