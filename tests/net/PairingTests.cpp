#include <gtest/gtest.h>

#include "CorvelKit/net/Pairing.h"

namespace corvel::net {
namespace {

TEST(Pairing, BuildsThreeOrFourItemsWithHostLast) {
  PairingInfo info{"Studio & Co", std::nullopt, 5895, "ABC-DEF-GHJ-KLM"};
  EXPECT_EQ(Pairing::url(info), "corvel://pair?name=Studio%20%26%20Co&code=ABC-DEF-GHJ-KLM&port=5895");
  info.host = "studio.example";
  info.port = 6000;
  EXPECT_EQ(Pairing::url(info),
            "corvel://pair?name=Studio%20%26%20Co&code=ABC-DEF-GHJ-KLM&port=6000&host=studio.example");
  EXPECT_EQ(Pairing::parse(Pairing::url(info)), info);
}

TEST(Pairing, ParsesLeniently) {
  struct Case {
    std::string text;
    std::optional<PairingInfo> expected;
  };
  const Case cases[] = {
      {"corvel://pair?name=Mac&code=abc%20def%20ghj%20klm",
       PairingInfo{"Mac", std::nullopt, 5895, "ABC-DEF-GHJ-KLM"}},
      {"  corvel://pair?name=Mac&code=ABCDEFGHJKLM&port=70000&host=\n",
       PairingInfo{"Mac", std::nullopt, 5895, "ABC-DEF-GHJ-KLM"}},
      {"corvel://pair?name=Mac&code=ABCDEFGHJKLM&port=&host=10.0.0.2",
       PairingInfo{"Mac", "10.0.0.2", 5895, "ABC-DEF-GHJ-KLM"}},
      {"corvel://pair?name=Mac&name=Other&code=ABCDEFGHJKLM&port=6001",
       PairingInfo{"Mac", std::nullopt, 6001, "ABC-DEF-GHJ-KLM"}},
      {"corvel://pair?code=ABCDEFGHJKLM&name=Mac&port=x1", PairingInfo{"Mac", std::nullopt, 5895, "ABC-DEF-GHJ-KLM"}},
      {"corvel://pair?name=M&code=%C3%A9bcdefghjklm", PairingInfo{"M", std::nullopt, 5895, "\u00E9BC-DEF-GHJ-KLM"}},
      // Faults: no record.
      {"corvel://pair?name=Mac&code=ABCDEFGHJKL", std::nullopt},    // 11 characters
      {"corvel://pair?name=Mac&code=ABCDEFGHJKLMN", std::nullopt},  // 13 characters
      {"corvel://pair?name=&code=ABCDEFGHJKLM", std::nullopt},
      {"corvel://pair?code=ABCDEFGHJKLM", std::nullopt},
      {"corvel://pair?name=Mac", std::nullopt},
      {"other://pair?name=Mac&code=ABCDEFGHJKLM", std::nullopt},
      {"corvel://pairing?name=Mac&code=ABCDEFGHJKLM", std::nullopt},
      {"corvel://join?name=Mac&code=ABCDEFGHJKLM", std::nullopt},
      {"corvel://pair?name=M%zzac&code=ABCDEFGHJKLM", std::nullopt},
      {"", std::nullopt},
      // Twelve bytes but fewer characters: the length counts characters.
      {"corvel://pair?name=M&code=%9F%D5%D5%D5%D5%D5%D5%D5%D5%D5%D5%D5", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Pairing::parse(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace corvel::net
