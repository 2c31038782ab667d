#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "Ambrel_Host/capture/BitrateAdapter.h"

namespace ambrel {
namespace {

struct Window {
  double skipRatio;
  std::optional<std::int64_t> change;  // the new rate, or none when unchanged
};

struct Case {
  const char* name;
  std::int64_t target;
  std::int64_t start;
  std::vector<Window> windows;
};

TEST(BitrateAdapter, FollowsTheSkippedShareWindowByWindow) {
  const std::vector<Case> cases = {
      {"heavy skipping lowers by 30 %", 12'000'000, 12'000'000, {{0.11, 8'400'000}}},
      {"never below 1.5 Mbit/s", 12'000'000, 2'000'000, {{0.5, 1'500'000}, {0.5, std::nullopt}}},
      {"10 % exactly is not heavy", 12'000'000, 12'000'000, {{0.1, std::nullopt}}},
      {"raises from the third clean window, up to the target",
       12'000'000,
       8'400'000,
       {{0.0, std::nullopt},
        {0.0, std::nullopt},
        {0.0, 9'660'000},
        {0.0, 11'109'000},
        {0.0, 12'000'000},
        {0.0, std::nullopt}}},
      {"a little skipping neither raises nor resets the clean run",
       12'000'000,
       8'400'000,
       {{0.0, std::nullopt}, {0.05, std::nullopt}, {0.0, std::nullopt}, {0.0, 9'660'000}}},
      {"heavy skipping resets the clean run",
       12'000'000,
       12'000'000,
       {{0.0, std::nullopt},
        {0.0, std::nullopt},
        {0.2, 8'400'000},
        {0.0, std::nullopt},
        {0.0, std::nullopt},
        {0.0, 9'660'000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BitrateAdapter adapter(c.target, c.start);
    std::int64_t expected = c.start;
    for (std::size_t i = 0; i < c.windows.size(); ++i) {
      SCOPED_TRACE(i);
      auto change = adapter.closeWindow(c.windows[i].skipRatio);
      EXPECT_EQ(change, c.windows[i].change);
      if (change) expected = *change;
      EXPECT_EQ(adapter.current(), expected);
    }
  }
}

}  // namespace
}  // namespace ambrel
