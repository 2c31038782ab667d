#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace ambrel {

// Finds an application's desktop entry by the name a person would type.
struct DesktopEntryLookup {
  // $XDG_DATA_HOME/applications (~/.local/share/applications), then each folder of
  // $XDG_DATA_DIRS (/usr/local/share:/usr/share) with /applications, in that order.
  static std::vector<std::filesystem::path> applicationFolders();

  // The first application entry whose desktop id (the file name without ".desktop"; entries in
  // sub-folders join the folder names with "-") equals `name`, else the first whose Name= equals
  // it; both compared without regard to ASCII case, folders in the given order. Entries that are
  // hidden or are not of Type=Application are skipped. Names holding "/" find nothing.
  static std::optional<std::filesystem::path> find(
      std::string_view name, const std::vector<std::filesystem::path>& folders);
};

}  // namespace ambrel
