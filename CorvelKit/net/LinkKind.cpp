#include "CorvelKit/net/LinkKind.h"

#include <filesystem>
#include <string>

namespace corvel::net {

std::string_view name(LinkKind kind) {
  switch (kind) {
    case LinkKind::wifi: return "wifi";
    case LinkKind::wired: return "wired";
    case LinkKind::cellular: return "cellular";
    case LinkKind::other: return "other";
  }
  return "other";
}

bool isMobileInterface(std::string_view name) { return name.starts_with("wwan"); }

LinkKind linkKindForInterface(std::optional<std::string_view> interfaceName) {
  if (!interfaceName || interfaceName->empty()) return LinkKind::other;
  auto n = *interfaceName;
  if (n.starts_with("wl")) return LinkKind::wifi;
  // Renamed wireless interfaces still carry a wireless folder in sysfs.
  std::error_code ec;
  if (std::filesystem::exists("/sys/class/net/" + std::string(n) + "/wireless", ec)) {
    return LinkKind::wifi;
  }
  if (n.starts_with("en") || n.starts_with("eth")) return LinkKind::wired;
  if (isMobileInterface(n)) return LinkKind::cellular;
  return LinkKind::other;
}

}  // namespace corvel::net
