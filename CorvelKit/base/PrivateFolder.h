#pragma once

#include <filesystem>
#include <system_error>

namespace corvel {

// Folders only this user may enter. Whatever the umask, folders created here get mode 0700
// (folders that already exist along the way are left as they are).
struct PrivateFolder {
  // Creates `path` and any missing parents.
  [[nodiscard]] static std::error_code create(const std::filesystem::path& path);
  // Creates `path` if missing; an existing one must be a real folder (not a link) owned by this
  // user with no access for others, else permission_denied and nothing is changed.
  [[nodiscard]] static std::error_code ensure(const std::filesystem::path& path);
};

}  // namespace corvel
