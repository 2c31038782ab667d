#include "CorvelKit/extensions/SharedSettings.h"

#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Paths.h"

namespace corvel::extensions {

std::filesystem::path SharedSettings::defaultFolder() { return Paths::sharedFolder(); }

std::shared_ptr<Defaults> SharedSettings::suite(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder, ec)) return nullptr;
  return std::make_shared<Defaults>(folder / (std::string(appGroup) + ".json"));
}

}  // namespace corvel::extensions
