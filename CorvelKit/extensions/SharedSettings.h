#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

namespace corvel {
class Defaults;
}

namespace corvel::extensions {

// The settings a client program shares with its own extensions (the screen-broadcast extension,
// the widget): one settings file per application group in the shared folder, written atomically.
// The group's secrets go to the keychain under the same access group.
struct SharedSettings {
  static constexpr std::string_view appGroup = "group.com.pinebay.corvel";

  // The group's settings file, read now; nothing when the shared folder can't be made.
  static std::shared_ptr<Defaults> suite(const std::filesystem::path& folder = defaultFolder());
  static std::filesystem::path defaultFolder();
};

}  // namespace corvel::extensions
