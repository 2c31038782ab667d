#include <gtest/gtest.h>

#include "CorvelKit/protocol/MessageType.h"
#include "CorvelKit/protocol/ModifierBits.h"
#include "CorvelKit/protocol/ProtocolConstants.h"

namespace corvel::protocol {
namespace {

TEST(MessageType, WireNumbersMapToTheirCasesAndUnassignedOnesToInvalid) {
  for (std::uint32_t raw = 0; raw <= 27; ++raw) {
    EXPECT_EQ(wireValue(messageTypeFromWire(raw)), raw);
  }
  EXPECT_EQ(messageTypeFromWire(40), MessageType::secureClientHello);
  EXPECT_EQ(messageTypeFromWire(41), MessageType::secureServerHello);
  EXPECT_EQ(messageTypeFromWire(42), MessageType::secureFinish);
  for (std::uint32_t raw : {28u, 35u, 39u, 43u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(messageTypeFromWire(raw), MessageType::invalid) << raw;
  }
  EXPECT_EQ(name(MessageType::screenTextRequest), "screenTextRequest");
  EXPECT_EQ(fmt::format("{}", MessageType::secureServerHello), "secureServerHello");
}

TEST(MessageType, NumbersAndConstantsMatchTheWire) {
  // Spot checks of values peers depend on.
  EXPECT_EQ(wireValue(MessageType::fileChunk), 14u);
  EXPECT_EQ(wireValue(MessageType::hostAction), 19u);
  EXPECT_EQ(wireValue(MessageType::displays), 27u);
  EXPECT_EQ(corvelDefaultPort, 5895);
  EXPECT_EQ(corvelServiceType, "_corvel._tcp");
  EXPECT_EQ(corvelProtocolVersion, 2);
  EXPECT_EQ(ModifierBits::shift | ModifierBits::command, 0x120000u);
  EXPECT_EQ(ModifierBits::function, 0x800000u);
}

}  // namespace
}  // namespace corvel::protocol
