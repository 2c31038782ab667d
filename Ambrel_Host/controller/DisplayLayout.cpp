#include "Ambrel_Host/controller/DisplayLayout.h"

#include <algorithm>

namespace ambrel {

bool DisplayLayout::set(const std::vector<ScreenDisplay>& displays) {
  std::vector<corvel::protocol::DisplayInfo> infos;
  std::map<std::uint32_t, DisplayBounds> bounds;
  for (const auto& d : displays) {
    infos.push_back({d.id, d.name, d.width, d.height});
    bounds[d.id] = DisplayBounds{d.x, d.y, d.width, d.height};
    if (d.isMain) mainDisplayID_ = d.id;
  }
  {
    std::lock_guard lock(boundsMutex_);
    bounds_ = std::move(bounds);
  }
  if (infos == list_) return false;
  list_ = std::move(infos);
  return true;
}

bool DisplayLayout::contains(std::uint32_t displayID) const {
  return std::any_of(list_.begin(), list_.end(), [&](const auto& d) { return d.id == displayID; });
}

std::optional<std::uint32_t> DisplayLayout::fallback() const {
  if (list_.empty()) return std::nullopt;
  return contains(mainDisplayID_) ? mainDisplayID_ : list_.front().id;
}

std::optional<DisplayBounds> DisplayLayout::boundsOf(std::uint32_t displayID) const {
  std::lock_guard lock(boundsMutex_);
  auto it = bounds_.find(displayID);
  if (it == bounds_.end()) return std::nullopt;
  return it->second;
}

}  // namespace ambrel
