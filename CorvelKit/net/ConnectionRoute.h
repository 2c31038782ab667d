#pragma once

#include <optional>
#include <string_view>

namespace corvel::net {

// How a connection reached the other side.
enum class ConnectionRoute { localNetwork, privateNetwork, internet, natTraversal, unknown };

std::string_view name(ConnectionRoute route);  // the case name, which is also its raw value

// Classifies from the remote host text (an IPv4 or IPv6 address, possibly with a zone, or a host
// name) and whether the path was hole-punched.
ConnectionRoute classifyRoute(std::optional<std::string_view> host, bool holePunched);

}  // namespace corvel::net
