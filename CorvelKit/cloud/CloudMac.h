#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CorvelKit/base/Date.h"
#include "CorvelKit/cloud/CloudRecord.h"

namespace corvel::cloud {

class OwnerKey;

// A host's presence record ("Mac"): every address a viewer could use, when it was last seen, and
// the secrets a trusted viewer needs. The secrets travel only sealed with the owner key: without
// one they are left out of the record, and a reader without one (or with another) sees none.
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
  // Sealed fields.
  std::optional<std::string> accessCode;
  std::optional<std::string> identity;
  std::optional<std::string> authToken;
  std::optional<std::string> relayAlloc;

  // The sealed fields are sealed with `key`, or left out without one.
  CloudRecord record(const OwnerKey* key = nullptr) const;
  // Nothing for a record of another type, without a name, or with a plain field of the wrong
  // type; absent fields read as their defaults. Sealed fields are read only when they open with
  // `key`: one that does not (another owner's secret, altered bytes, not sealed at all) is absent.
  static std::optional<CloudMac> from(const CloudRecord& record, const OwnerKey* key = nullptr);

  bool isOnline(Date now) const { return now.secondsSinceReferenceDate() - lastSeen.secondsSinceReferenceDate() < onlineSeconds; }
  // "address:port" of the mapped endpoint when both are known, then "[v6]:5895" per IPv6 address.
  std::vector<std::string> internetEndpoints() const;

  friend bool operator==(const CloudMac&, const CloudMac&) = default;
};

}  // namespace corvel::cloud
