#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Ambrel_Host/capture/ScreenDisplay.h"

namespace ambrel {

// One display of a GNOME (mutter) session: a logical monitor, as the host lists it, with what the
// compositor's own interfaces need to reach it.
struct MutterMonitor {
  // Position and size in the compositor's layout (logical pixels), the identifier derived from the
  // connector.
  ScreenDisplay display;
  // The connector of its first monitor ("Meta-0", "DP-1"): what a screen cast records.
  std::string connector;
  // The monitor's picture in device pixels: the size of its screen-cast stream, whose coordinates
  // absolute pointer motion takes.
  int pixelWidth = 0;
  int pixelHeight = 0;

  // A stable display identifier for a connector: the same connector keeps its number across
  // changes of the layout and across runs. 32-bit FNV-1a kept to 31 bits, never 0.
  static constexpr std::uint32_t identifierOf(std::string_view connector) {
    std::uint32_t hash = 2166136261u;
    for (const char c : connector) {
      hash ^= static_cast<std::uint8_t>(c);
      hash *= 16777619u;
    }
    hash &= 0x7FFFFFFFu;
    return hash == 0 ? 1 : hash;
  }

  friend bool operator==(const MutterMonitor&, const MutterMonitor&) = default;
};

}  // namespace ambrel
