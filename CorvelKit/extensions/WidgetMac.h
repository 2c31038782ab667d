#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/extensions/SharedSettings.h"

namespace corvel::extensions {

// A computer the widget shows: its cloud record's identifier, a name and a line below it, and a
// link that opens the client program on it.
struct WidgetMac {
  std::string id;
  std::string name;
  std::string subtitle;

  static constexpr std::string_view defaultsKey = "widgetMacs";

  // Stores the list under "widgetMacs" of the shared settings; errors do nothing.
  static void save(const std::vector<WidgetMac>& macs,
                   const std::filesystem::path& folder = SharedSettings::defaultFolder());
  // The stored list; empty when there is none or it can't be read.
  static std::vector<WidgetMac> load(const std::filesystem::path& folder = SharedSettings::defaultFolder());

  // "corvel://connect?id=<id, percent-encoded>".
  std::string connectURL() const;

  static Bytes encode(const std::vector<WidgetMac>& macs);
  // A JSON array of objects with "id", "name" and "subtitle"; nothing for anything else.
  static std::optional<std::vector<WidgetMac>> decode(ByteView json);

  friend bool operator==(const WidgetMac&, const WidgetMac&) = default;
};

}  // namespace corvel::extensions
