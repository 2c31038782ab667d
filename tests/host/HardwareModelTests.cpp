#include <gtest/gtest.h>

#include <fstream>

#include "Ambrel_Host/reach/HardwareModel.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

TEST(HardwareModelTest, TheFirmwaresProductNameWithoutPlaceholders) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // path under the root, content
    std::optional<std::string> model;
  };
  const std::string dmi = "sys/class/dmi/id/product_name";
  const std::string tree = "sys/firmware/devicetree/base/model";
  const std::vector<Case> cases{
      {"a PC", {{dmi, "ThinkCentre M720q\n"}}, "ThinkCentre M720q"},
      {"a board", {{tree, std::string("Raspberry Pi 4 Model B Rev 1.4\0", 31)}}, "Raspberry Pi 4 Model B Rev 1.4"},
      {"an unfilled name falls through", {{dmi, "To Be Filled By O.E.M.\n"}, {tree, "Board"}}, "Board"},
      {"only placeholders", {{dmi, "System Product Name\n"}}, std::nullopt},
      {"blank and control characters", {{dmi, "  \x1b[31m  \n"}}, "[31m"},
      {"nothing", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    corvel::test::TemporaryFolder root;
    for (const auto& [path, content] : c.files) {
      std::filesystem::create_directories((root.path() / path).parent_path());
      std::ofstream(root.path() / path, std::ios::binary) << content;
    }
    EXPECT_EQ(HardwareModel::fromFirmware(root.path()), c.model) << c.what;
  }
  EXPECT_FALSE(HardwareModel::current().empty());
}

}  // namespace
}  // namespace ambrel
