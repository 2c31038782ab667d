#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "Ambrel_Host/capture/ScreenDisplay.h"
#include "Ambrel_Host/input/DisplayBounds.h"
#include "CorvelKit/protocol/DisplayInfo.h"

namespace ambrel {

// The computer's displays as last read. The list lives on the controller's executor; where each
// display lies on the screen is also read from connection queues (input), hence its lock.
class DisplayLayout {
 public:
  // Takes a new reading; true when the list clients see changed.
  bool set(const std::vector<ScreenDisplay>& displays);

  const std::vector<corvel::protocol::DisplayInfo>& list() const { return list_; }
  bool contains(std::uint32_t displayID) const;
  // Where new clients start: the main display as last read.
  std::uint32_t mainDisplayID() const { return mainDisplayID_; }
  // Where a client whose display went away moves: the main display if present, else the first.
  std::optional<std::uint32_t> fallback() const;

  // Any thread.
  std::optional<DisplayBounds> boundsOf(std::uint32_t displayID) const;

 private:
  std::vector<corvel::protocol::DisplayInfo> list_;
  std::uint32_t mainDisplayID_ = 0;
  mutable std::mutex boundsMutex_;
  std::map<std::uint32_t, DisplayBounds> bounds_;
};

}  // namespace ambrel
