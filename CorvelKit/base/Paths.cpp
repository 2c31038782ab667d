#include "CorvelKit/base/Paths.h"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

namespace corvel {

namespace {
namespace fs = std::filesystem;

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : nullptr;
}

fs::path userHome() {
  if (auto h = env("HOME")) return h;
  return "/tmp";
}

fs::path xdg(const char* variable, const char* fallbackUnderHome) {
  if (auto v = env(variable)) return v;
  return userHome() / fallbackUnderHome;
}

const char* ambrelHome() { return env("AMBREL_HOME"); }

// The download folder that user-dirs.dirs names: XDG_DOWNLOAD_DIR="$HOME/…" or an absolute path.
std::optional<fs::path> userDirsDownload() {
  std::ifstream file(xdg("XDG_CONFIG_HOME", ".config") / "user-dirs.dirs");
  std::optional<fs::path> found;
  std::string line;
  const std::string key = "XDG_DOWNLOAD_DIR=";
  while (std::getline(file, line)) {
    auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string raw = line.substr(start + key.size());
    while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t' || raw.back() == '\r')) raw.pop_back();
    std::string value;
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
      for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 2 < raw.size()) ++i;
        value += raw[i];
      }
    } else {
      value = raw;
    }
    if (value == "$HOME") {
      found = userHome();
    } else if (value.starts_with("$HOME/")) {
      found = userHome() / value.substr(6);
    } else if (value.starts_with("/")) {
      found = fs::path(value);
    }
    // The last assignment wins, as when the shell reads the file.
  }
  return found;
}
}  // namespace

fs::path Paths::configFolder() {
  if (auto h = ambrelHome()) return fs::path(h) / "config";
  return xdg("XDG_CONFIG_HOME", ".config") / "ambrel-host";
}

fs::path Paths::sharedFolder() {
  if (auto h = ambrelHome()) return fs::path(h) / "shared";
  return xdg("XDG_CONFIG_HOME", ".config") / "ambrel-shared";
}

fs::path Paths::dataFolder() {
  if (auto h = ambrelHome()) return fs::path(h) / "data";
  return xdg("XDG_DATA_HOME", ".local/share") / "ambrel-host";
}

fs::path Paths::downloadsFolder() {
  if (auto h = ambrelHome()) return fs::path(h) / "Downloads";
  // As `xdg-user-dir DOWNLOAD` answers: the user's folder settings, then the environment, then
  // the home folder.
  if (auto named = userDirsDownload()) return *named;
  if (auto v = env("XDG_DOWNLOAD_DIR")) return v;
  return userHome();
}

fs::path Paths::temporaryFolder() {
  if (auto h = ambrelHome()) return fs::path(h) / "tmp";
  if (auto v = env("TMPDIR")) return v;
  return "/tmp";
}

fs::path Paths::runtimeFolder() {
  if (auto h = ambrelHome()) return fs::path(h) / "run";
  if (auto v = env("XDG_RUNTIME_DIR")) return fs::path(v) / "ambrel-host";
  return fs::path("/tmp") / ("ambrel-host-" + std::to_string(::getuid()));
}

}  // namespace corvel
