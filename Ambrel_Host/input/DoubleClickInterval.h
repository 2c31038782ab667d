#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace ambrel {

// The desktop's double-click interval: the X resource `multiClickTime` where the session sets one,
// else GTK's `gtk-double-click-time` from its settings.ini files, else half a second. Both are in
// milliseconds.
struct DoubleClickInterval {
  using Duration = std::chrono::milliseconds;
  static constexpr Duration fallback{500};

  // A millisecond count as a setting gives it; none for anything but digits (surrounding blanks
  // allowed) and for values outside 50…5000, which no desktop would mean.
  static std::optional<Duration> parseMilliseconds(std::string_view text);

  // `gtk-double-click-time` of the [Settings] group in the first of the files that sets it.
  static std::optional<Duration> fromGtkSettings(const std::vector<std::filesystem::path>& files);
  // The settings.ini files GTK reads, most specific first: the user's (under $XDG_CONFIG_HOME,
  // else ~/.config) for GTK 3 and 4, then those under $XDG_CONFIG_DIRS (else /etc/xdg), then
  // /etc/gtk-3.0.
  static std::vector<std::filesystem::path> gtkSettingsFiles();

  // The interval from what the X resources said (their raw value, if any) and the GTK settings.
  static Duration choose(std::optional<std::string_view> xResourceValue,
                         const std::vector<std::filesystem::path>& gtkFiles);
};

}  // namespace ambrel
