#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "CorvelKit/cloud/CorvelCloud.h"
#include "CorvelKit/cloud/OwnerKey.h"
#include "CorvelKit/cloud/SqliteCloudDatabase.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::cloud {
namespace {

constexpr const char* kMacID = "9A0C2E1D-0000-4000-8000-000000000001";

CloudMac hostWithSecrets() {
  CloudMac mac;
  mac.id = kMacID;
  mac.name = "Studio";
  mac.lastSeen = Date(790'000'000);
  mac.lanAddresses = {"192.168.1.4"};
  mac.accessCode = "ABCDEFGHJKLM";
  mac.identity = "0123 4567 89AB CDEF 0123 4567 89AB CDEF";
  mac.authToken = "owner-token";
  return mac;
}

CloudMac withoutSecrets(CloudMac mac) {
  mac.accessCode.reset();
  mac.identity.reset();
  mac.authToken.reset();
  mac.relayAlloc.reset();
  return mac;
}

TEST(OwnerKeyTest, SealedFieldsOpenOnlyWithTheOwnerSecret) {
  test::TemporaryHome home;
  auto db = std::make_shared<SqliteCloudDatabase>();
  auto owner = std::make_shared<OwnerKey>(*OwnerKey::derive("correct horse battery staple"));
  CorvelCloud host(db);
  ASSERT_FALSE(host.ensureZone());
  host.setOwnerKey(owner);
  ASSERT_FALSE(host.publish(hostWithSecrets()));

  // The stored record holds no secret in the clear.
  auto stored = db->fetch(CorvelCloud::zone, kMacID);
  ASSERT_TRUE(stored);
  const auto mac = hostWithSecrets();
  for (const auto& [field, clear] : {std::pair{"accessCode", *mac.accessCode},
                                     std::pair{"identity", *mac.identity},
                                     std::pair{"authToken", *mac.authToken}}) {
    auto* sealed = stored->get<Bytes>(field);
    ASSERT_NE(sealed, nullptr) << field;
    EXPECT_EQ(std::string(sealed->begin(), sealed->end()).find(clear), std::string::npos) << field;
  }

  struct Reader {
    const char* what;
    std::optional<std::string> secret;
    bool opens;
  };
  for (const auto& reader : {Reader{"the same secret, typed on another device",
                                    "correct horse battery staple", true},
                             Reader{"another secret", "correct horse battery stapler", false},
                             Reader{"no secret", std::nullopt, false}}) {
    CorvelCloud device(std::make_shared<SqliteCloudDatabase>());
    if (reader.secret) device.setOwnerKey(std::make_shared<OwnerKey>(*OwnerKey::derive(*reader.secret)));
    auto all = device.fetchAll();
    ASSERT_TRUE(all) << reader.what;
    ASSERT_EQ(all->macs.size(), 1u) << reader.what;
    EXPECT_EQ(all->macs[0], reader.opens ? hostWithSecrets() : withoutSecrets(hostWithSecrets()))
        << reader.what;
  }

  // Without a key the host publishes the plain fields only.
  host.setOwnerKey(nullptr);
  ASSERT_FALSE(host.publish(hostWithSecrets()));
  stored = db->fetch(CorvelCloud::zone, kMacID);
  ASSERT_TRUE(stored);
  EXPECT_FALSE(stored->fields.contains("accessCode"));
  EXPECT_TRUE(stored->fields.contains("lanAddresses"));
}

TEST(OwnerKeyTest, AlteredMovedOrUnsealedValuesReadAsAbsentAndThePlainFieldsStay) {
  const auto key = *OwnerKey::derive("owner secret");
  const auto good = hostWithSecrets().record(&key);
  const Bytes sealed = *good.get<Bytes>("accessCode");

  auto flip = [&](std::size_t at) {
    Bytes b = sealed;
    b[at] ^= 0x01;
    return CloudValue{b};
  };
  struct Case {
    const char* what;
    std::function<void(CloudRecord&)> change;
  };
  const std::vector<Case> cases{
      {"version", [&](CloudRecord& r) { r.fields["accessCode"] = flip(0); }},
      {"nonce", [&](CloudRecord& r) { r.fields["accessCode"] = flip(1); }},
      {"ciphertext", [&](CloudRecord& r) { r.fields["accessCode"] = flip(OwnerKey::overhead - 16 + 1); }},
      {"tag", [&](CloudRecord& r) { r.fields["accessCode"] = flip(sealed.size() - 1); }},
      {"truncated", [&](CloudRecord& r) { r.fields["accessCode"] = Bytes(sealed.begin(), sealed.end() - 1); }},
      {"shorter than the overhead", [&](CloudRecord& r) { r.fields["accessCode"] = Bytes(5, 1); }},
      {"empty", [&](CloudRecord& r) { r.fields["accessCode"] = Bytes{}; }},
      {"moved to another field", [&](CloudRecord& r) { r.fields["identity"] = sealed; r.fields.erase("accessCode"); }},
      {"in the clear", [&](CloudRecord& r) { r.fields["accessCode"] = std::string("ABCDEFGHJKLM"); }},
      {"a number", [&](CloudRecord& r) { r.fields["accessCode"] = std::int64_t{7}; }},
  };
  for (const auto& c : cases) {
    CloudRecord r = good;
    c.change(r);
    auto mac = CloudMac::from(r, &key);
    ASSERT_TRUE(mac) << c.what;
    EXPECT_FALSE(mac->accessCode) << c.what;
    EXPECT_EQ(mac->name, "Studio") << c.what;
    EXPECT_EQ(mac->lanAddresses, hostWithSecrets().lanAddresses) << c.what;
  }

  // A sealed value copied into another host's record does not open there.
  CloudRecord other = good;
  other.recordName = "7B1E0000-0000-4000-8000-000000000002";
  EXPECT_FALSE(CloudMac::from(other, &key)->accessCode);
  EXPECT_EQ(CloudMac::from(good, &key)->accessCode, hostWithSecrets().accessCode);

  EXPECT_FALSE(OwnerKey::derive(""));
  EXPECT_FALSE(OwnerKey::derive(" \t\n"));
}

}  // namespace
}  // namespace corvel::cloud
