#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CorvelKit/base/Date.h"
#include "CorvelKit/cloud/CloudRecord.h"

namespace corvel::cloud {

// A host's presence record ("Mac"): every address a viewer could use, and when it was last seen.
// The secrets a trusted viewer needs are not part of it yet: they travel only once fields can be
// sealed for the owner's devices.
struct CloudMac {
  static constexpr std::string_view recordType = "Mac";
  static constexpr double onlineSeconds = 600;
  static constexpr std::uint16_t ipv6Port = 5895;

  std::string id;  // the record name
  std::string name = "Mac";
  std::string model;
  Date lastSeen{-1e12};  // the distant past
  std::vector<std::string> lanAddresses;
  std::optional<std::string> publicAddress;
  std::optional<std::int64_t> publicPort;
  std::vector<std::string> ipv6Addresses;
  std::optional<std::string> natHost;
  std::optional<std::int64_t> natPort;

  CloudRecord record() const;
  // Nothing for a record of another type or without a name; absent fields read as their defaults.
  static std::optional<CloudMac> from(const CloudRecord& record);

  bool isOnline(Date now) const { return now.secondsSinceReferenceDate() - lastSeen.secondsSinceReferenceDate() < onlineSeconds; }
  // "address:port" of the mapped endpoint when both are known, then "[v6]:5895" per IPv6 address.
  std::vector<std::string> internetEndpoints() const;

  friend bool operator==(const CloudMac&, const CloudMac&) = default;
};

}  // namespace corvel::cloud
