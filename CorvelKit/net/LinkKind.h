#pragma once

#include <optional>
#include <string_view>

namespace corvel::net {

// The kind of network link a connection's path uses.
enum class LinkKind { wifi, wired, cellular, other };

std::string_view name(LinkKind kind);  // "wifi", "wired", "cellular", "other"

// From the name of the Linux interface the path goes through (nothing when there is no path):
// wireless names (wl*, wlan*, or an interface with a wireless extension) are Wi-Fi, en*/eth* are
// wired, wwan* are mobile, everything else is other.
LinkKind linkKindForInterface(std::optional<std::string_view> interfaceName);

// Whether an interface is a mobile (cellular) one, which local endpoints never use.
bool isMobileInterface(std::string_view interfaceName);

}  // namespace corvel::net
