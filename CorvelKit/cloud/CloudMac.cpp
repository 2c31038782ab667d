#include "CorvelKit/cloud/CloudMac.h"

#include <array>
#include <utility>

#include "CorvelKit/cloud/OwnerKey.h"

namespace corvel::cloud {

namespace {

// The sealed fields, by record key.
template <class Mac>
auto sealedFields(Mac& mac) {
  return std::array{std::pair{"accessCode", &mac.accessCode}, std::pair{"identity", &mac.identity},
                    std::pair{"authToken", &mac.authToken}, std::pair{"relayAlloc", &mac.relayAlloc}};
}

// A present field of another type than `T`.
template <class T>
bool wronglyTyped(const CloudRecord& r, const std::string& key) {
  return r.fields.contains(key) && r.get<T>(key) == nullptr;
}

}  // namespace

CloudRecord CloudMac::record(const OwnerKey* key) const {
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
  if (key != nullptr) {
    for (const auto& [field, value] : sealedFields(*this)) {
      if (*value) r.fields.emplace(field, key->seal(recordType, id, field, **value));
    }
  }
  return r;
}

std::optional<CloudMac> CloudMac::from(const CloudRecord& r, const OwnerKey* key) {
  if (r.recordType != recordType || r.recordName.empty()) return std::nullopt;
  for (const char* field : {"name", "model", "publicAddress", "natHost"}) {
    if (wronglyTyped<std::string>(r, field)) return std::nullopt;
  }
  for (const char* field : {"publicPort", "natPort"}) {
    if (wronglyTyped<std::int64_t>(r, field)) return std::nullopt;
  }
  for (const char* field : {"lanAddresses", "ipv6Addresses"}) {
    if (wronglyTyped<std::vector<std::string>>(r, field)) return std::nullopt;
  }
  if (wronglyTyped<Date>(r, "lastSeen")) return std::nullopt;
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
  if (key != nullptr) {
    for (const auto& [field, value] : sealedFields(mac)) {
      if (auto* sealed = r.get<Bytes>(field)) *value = key->open(recordType, mac.id, field, *sealed);
    }
  }
  return mac;
}

std::vector<std::string> CloudMac::internetEndpoints() const {
  std::vector<std::string> out;
  if (publicAddress && publicPort) out.push_back(*publicAddress + ":" + std::to_string(*publicPort));
  for (const auto& a : ipv6Addresses) out.push_back("[" + a + "]:" + std::to_string(ipv6Port));
  return out;
}

}  // namespace corvel::cloud
