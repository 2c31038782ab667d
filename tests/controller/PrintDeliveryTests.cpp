#include <gtest/gtest.h>

#include <fstream>

#include "Ambrel_Host/controller/PrintDelivery.h"
#include "CorvelKit/protocol/FileOffer.h"
#include "tests/support/HostRig.h"

namespace ambrel::test {
namespace {

namespace fs = std::filesystem;
using corvel::protocol::ClientPlatform;
using corvel::protocol::ClientRole;
using corvel::protocol::FileOffer;
using corvel::protocol::MessageType;

class PrintDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(rig.host->set(Setting::askBeforeConnecting, false)); }

  HostRig::Peer joinAs(const std::string& name, ClientPlatform platform, ClientRole role = ClientRole::viewer) {
    auto peer = rig.connect();
    corvel::protocol::Hello hello;
    hello.deviceName = name;
    hello.platform = platform;
    hello.protocolVersion = 2;
    hello.role = role;
    peer.connection->deliverJSON(MessageType::hello, hello);
    rig.settle();
    return peer;
  }
  fs::path document(const std::string& name) {
    auto path = rig.home.path() / "Print" / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << "%PDF-1.4 " << name;
    return path;
  }
  static std::vector<FileOffer> offers(const HostRig::Peer& peer) {
    std::vector<FileOffer> found;
    for (auto& [type, payload] : peer.connection->sent()) {
      if (type == MessageType::fileOffer) found.push_back(*corvel::JSONCoding::decode<FileOffer>(payload));
    }
    return found;
  }

  HostRig rig;
};

TEST_F(PrintDeliveryTest, GoesToThePhoneOrTabletBeforeAComputerOrASharer) {
  auto mac = joinAs("Laptop", ClientPlatform::mac);
  auto sharer = joinAs("Sharing Phone", ClientPlatform::iPhone, ClientRole::screenSharer);
  auto phone = joinAs("Phone", ClientPlatform::iPhone);
  const auto doc = document("Boarding Pass.pdf");

  PrintDelivery::deliver(*rig.host, doc);
  rig.settle();
  ASSERT_EQ(offers(phone).size(), 1u);
  EXPECT_EQ(offers(phone)[0].name, "Boarding Pass.pdf");
  EXPECT_EQ(offers(phone)[0].purpose, "print");
  EXPECT_TRUE(offers(mac).empty());
  EXPECT_TRUE(offers(sharer).empty());
  EXPECT_TRUE(rig.notifier->saw("Printing on Phone"));
  // Sent: the inbox is cleared of it.
  EXPECT_FALSE(fs::exists(doc));
}

TEST_F(PrintDeliveryTest, WithOnlyAComputerItGoesThere) {
  auto mac = joinAs("Laptop", ClientPlatform::mac);
  PrintDelivery::deliver(*rig.host, document("a.pdf"));
  rig.settle();
  EXPECT_EQ(offers(mac).size(), 1u);
  EXPECT_TRUE(rig.notifier->saw("Printing on Laptop"));
}

TEST_F(PrintDeliveryTest, NobodyConnectedDeletesTheDocumentWithANotice) {
  const auto doc = document("a.pdf");
  auto waiting = rig.connect();  // connected, no hello: not a candidate
  PrintDelivery::deliver(*rig.host, doc);
  rig.settle();
  EXPECT_TRUE(rig.notifier->saw("Nothing to print to"));
  EXPECT_FALSE(fs::exists(doc));
  EXPECT_TRUE(offers(waiting).empty());
}

TEST_F(PrintDeliveryTest, DocumentIsDeletedWhenTheTransferFails) {
  auto phone = joinAs("Phone", ClientPlatform::iPhone);
  // The connection is gone, and the host hasn't heard yet: every send fails.
  phone.connection->cancel();
  const auto doc = document("a.pdf");
  PrintDelivery::deliver(*rig.host, doc);
  EXPECT_TRUE(rig.notifier->saw("Printing on Phone"));
  rig.settle();
  EXPECT_TRUE(offers(phone).empty());
  EXPECT_FALSE(fs::exists(doc));
}

}  // namespace
}  // namespace ambrel::test
