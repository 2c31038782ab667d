#include "Ambrel_Host/controller/DesktopEntryLookup.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

namespace ambrel {

namespace {

namespace fs = std::filesystem;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

struct Entry {
  fs::path file;
  std::string id;
};

struct EntryKeys {
  std::string type, name;
  bool hidden = false;
};

// The keys of the [Desktop Entry] group that the lookup needs.
EntryKeys readKeys(const fs::path& file) {
  EntryKeys keys;
  std::ifstream in(file);
  std::string line;
  bool inMainGroup = false;
  int lines = 0;
  while (std::getline(in, line) && ++lines < 2000) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with('[')) {
      inMainGroup = line == "[Desktop Entry]";
      continue;
    }
    if (!inMainGroup) continue;
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    auto trim = [](std::string s) {
      s.erase(0, s.find_first_not_of(" \t"));
      s.erase(s.find_last_not_of(" \t") + 1);
      return s;
    };
    auto key = trim(line.substr(0, eq));
    auto value = trim(line.substr(eq + 1));
    if (key == "Type") keys.type = value;
    else if (key == "Name") keys.name = value;
    else if (key == "Hidden") keys.hidden = value == "true";
  }
  return keys;
}

std::vector<Entry> entriesIn(const fs::path& folder) {
  std::vector<Entry> entries;
  std::error_code error;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it.depth() > 3) it.disable_recursion_pending();
    const auto& path = it->path();
    if (path.extension() != ".desktop" || !it->is_regular_file(error)) continue;
    auto relative = path.lexically_relative(folder);
    relative.replace_extension();
    auto id = relative.generic_string();
    std::replace(id.begin(), id.end(), '/', '-');
    entries.push_back({path, std::move(id)});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.id < b.id; });
  return entries;
}

}  // namespace

std::vector<fs::path> DesktopEntryLookup::applicationFolders() {
  std::vector<fs::path> folders;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (dataHome && *dataHome) {
    folders.push_back(fs::path(dataHome) / "applications");
  } else if (home && *home) {
    folders.push_back(fs::path(home) / ".local/share/applications");
  }
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  std::string dirs = dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    auto end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    if (end > start) folders.push_back(fs::path(dirs.substr(start, end - start)) / "applications");
    start = end + 1;
  }
  return folders;
}

std::optional<fs::path> DesktopEntryLookup::find(std::string_view name,
                                                 const std::vector<fs::path>& folders) {
  if (name.empty() || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  std::vector<std::pair<Entry, EntryKeys>> usable;
  for (const auto& folder : folders) {
    for (auto& entry : entriesIn(folder)) {
      auto keys = readKeys(entry.file);
      if (keys.hidden || keys.type != "Application") continue;
      usable.emplace_back(std::move(entry), std::move(keys));
    }
  }
  for (const auto& [entry, keys] : usable) {
    if (equalsIgnoringCase(entry.id, name)) return entry.file;
  }
  for (const auto& [entry, keys] : usable) {
    if (equalsIgnoringCase(keys.name, name)) return entry.file;
  }
  return std::nullopt;
}

}  // namespace ambrel
