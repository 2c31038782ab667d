#include "Ambrel_Host/input/DoubleClickInterval.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <string>

namespace ambrel {

namespace {

std::string_view trimmed(std::string_view s) {
  constexpr std::string_view blanks = " \t\r\n";
  auto first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  auto last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::optional<DoubleClickInterval::Duration> DoubleClickInterval::parseMilliseconds(
    std::string_view text) {
  text = trimmed(text);
  if (text.empty()) return std::nullopt;
  long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (value < 50 || value > 5000) return std::nullopt;
  return Duration{value};
}

std::optional<DoubleClickInterval::Duration> DoubleClickInterval::fromGtkSettings(
    const std::vector<std::filesystem::path>& files) {
  for (const auto& file : files) {
    std::ifstream in(file);
    if (!in) continue;
    bool inSettings = false;
    std::string line;
    while (std::getline(in, line)) {
      auto text = trimmed(line);
      if (text.empty() || text.front() == '#' || text.front() == ';') continue;
      if (text.front() == '[') {
        inSettings = text == "[Settings]";
        continue;
      }
      auto equals = text.find('=');
      if (!inSettings || equals == std::string_view::npos) continue;
      if (trimmed(text.substr(0, equals)) != "gtk-double-click-time") continue;
      if (auto value = parseMilliseconds(text.substr(equals + 1))) return value;
    }
  }
  return std::nullopt;
}

std::vector<std::filesystem::path> DoubleClickInterval::gtkSettingsFiles() {
  std::vector<std::filesystem::path> files;
  std::filesystem::path configHome = environment("XDG_CONFIG_HOME");
  if (configHome.empty() || configHome.is_relative()) {
    auto home = environment("HOME");
    if (!home.empty()) configHome = std::filesystem::path(home) / ".config";
  }
  if (!configHome.empty()) {
    files.push_back(configHome / "gtk-3.0" / "settings.ini");
    files.push_back(configHome / "gtk-4.0" / "settings.ini");
  }
  std::string dirs = environment("XDG_CONFIG_DIRS");
  if (dirs.empty()) dirs = "/etc/xdg";
  std::string_view rest = dirs;
  while (!rest.empty()) {
    auto colon = rest.find(':');
    std::filesystem::path dir(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    if (dir.empty() || dir.is_relative()) continue;
    files.push_back(dir / "gtk-3.0" / "settings.ini");
    files.push_back(dir / "gtk-4.0" / "settings.ini");
  }
  files.emplace_back("/etc/gtk-3.0/settings.ini");
  return files;
}

DoubleClickInterval::Duration DoubleClickInterval::choose(
    std::optional<std::string_view> xResourceValue, const std::vector<std::filesystem::path>& gtkFiles) {
  if (xResourceValue) {
    if (auto value = parseMilliseconds(*xResourceValue)) return *value;
  }
  if (auto value = fromGtkSettings(gtkFiles)) return *value;
  return fallback;
}

}  // namespace ambrel
