#include "Ambrel_Host/shell/AutostartEntry.h"

#include <cstdlib>
#include <fstream>

namespace ambrel {

namespace fs = std::filesystem;

namespace {
const char* nonEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : nullptr;
}

// An Exec= argument: quoted, with the characters the desktop entry format escapes inside quotes
// and "%" doubled (it starts field codes); then the backslashes escaped once more, as every
// string value of the format is.
std::string quoted(const std::string& text) {
  std::string argument = "\"";
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') argument += '\\';
    if (c == '%') argument += '%';
    argument += c;
  }
  argument += '"';
  std::string value;
  for (char c : argument) {
    if (c == '\\') value += '\\';
    value += c;
  }
  return value;
}
}  // namespace

AutostartEntry::AutostartEntry(fs::path entry, fs::path program)
    : entry_(std::move(entry)), program_(std::move(program)) {}

fs::path AutostartEntry::defaultPath() {
  if (const char* home = nonEmpty("AMBREL_HOME")) return fs::path(home) / "autostart" / "ambrel-host.desktop";
  if (const char* config = nonEmpty("XDG_CONFIG_HOME")) return fs::path(config) / "autostart" / "ambrel-host.desktop";
  const char* home = nonEmpty("HOME");
  return fs::path(home ? home : "/") / ".config" / "autostart" / "ambrel-host.desktop";
}

bool AutostartEntry::isEnabled() const {
  std::error_code ec;
  return fs::is_regular_file(entry_, ec);
}

std::optional<std::string> AutostartEntry::setEnabled(bool on) {
  std::error_code ec;
  if (!on) {
    fs::remove(entry_, ec);
    if (ec) return "Couldn't remove the login entry: " + ec.message() + ".";
    return std::nullopt;
  }
  fs::create_directories(entry_.parent_path(), ec);
  const auto partial = fs::path(entry_.string() + ".part");
  {
    std::ofstream out(partial, std::ios::trunc);
    out << "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Ambrel Host\n"
           "Comment=Lets your other devices see and use this computer\n"
        << "Exec=" << quoted(program_.string()) << "\n"
        << "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
    if (!out.flush()) return "Couldn't write the login entry.";
  }
  fs::rename(partial, entry_, ec);
  if (ec) {
    fs::remove(partial, ec);
    return "Couldn't write the login entry.";
  }
  return std::nullopt;
}

}  // namespace ambrel
