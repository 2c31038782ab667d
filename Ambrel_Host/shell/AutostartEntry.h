#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "Ambrel_Host/controller/LoginItem.h"

namespace ambrel {

// Starting at login through the desktop's autostart folder: an entry "ambrel-host.desktop" that
// runs this program. Under $AMBREL_HOME the entry lives in its "autostart" folder instead.
class AutostartEntry final : public LoginItem {
 public:
  // `program`: the path the entry runs.
  AutostartEntry(std::filesystem::path entry, std::filesystem::path program);

  // The entry in $XDG_CONFIG_HOME/autostart (~/.config/autostart).
  static std::filesystem::path defaultPath();

  bool isEnabled() const override;
  std::optional<std::string> setEnabled(bool on) override;

  const std::filesystem::path& path() const { return entry_; }

 private:
  std::filesystem::path entry_;
  std::filesystem::path program_;
};

}  // namespace ambrel
