#include "CorvelKit/cloud/CloudMac.h"

namespace corvel::cloud {

CloudRecord CloudMac::record() const {
  CloudRecord r;
  r.recordType = std::string(recordType);
  r.recordName = id;
  r.fields = {{"name", name},
              {"model", model},
              {"lastSeen", lastSeen},
              {"lanAddresses", lanAddresses},
              {"ipv6Addresses", ipv6Addresses}};
  if (publicAddress) r.fields.emplace("publicAddress", *publicAddress);
  if (publicPort) r.fields.emplace("publicPort", *publicPort);
  if (natHost) r.fields.emplace("natHost", *natHost);
  if (natPort) r.fields.emplace("natPort", *natPort);
  return r;
}

std::optional<CloudMac> CloudMac::from(const CloudRecord& r) {
  if (r.recordType != recordType || r.recordName.empty()) return std::nullopt;
  CloudMac mac;
  mac.id = r.recordName;
  if (auto* v = r.string("name")) mac.name = *v;
  if (auto* v = r.string("model")) mac.model = *v;
  if (auto* v = r.date("lastSeen")) mac.lastSeen = *v;
  if (auto* v = r.strings("lanAddresses")) mac.lanAddresses = *v;
  if (auto* v = r.strings("ipv6Addresses")) mac.ipv6Addresses = *v;
  if (auto* v = r.string("publicAddress")) mac.publicAddress = *v;
  if (auto* v = r.integer("publicPort")) mac.publicPort = *v;
  if (auto* v = r.string("natHost")) mac.natHost = *v;
  if (auto* v = r.integer("natPort")) mac.natPort = *v;
  return mac;
}

std::vector<std::string> CloudMac::internetEndpoints() const {
  std::vector<std::string> out;
  if (publicAddress && publicPort) out.push_back(*publicAddress + ":" + std::to_string(*publicPort));
  for (const auto& a : ipv6Addresses) out.push_back("[" + a + "]:" + std::to_string(ipv6Port));
  return out;
}

}  // namespace corvel::cloud
