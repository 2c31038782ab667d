#include "CorvelKit/base/Paths.h"

#include <cstdlib>
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
}  // namespace

fs::path Paths::configFolder() {
  if (auto h = ambrelHome()) return fs::path(h) / "config";
  return xdg("XDG_CONFIG_HOME", ".config") / "ambrel-host";
}

fs::path Paths::dataFolder() {
  if (auto h = ambrelHome()) return fs::path(h) / "data";
  return xdg("XDG_DATA_HOME", ".local/share") / "ambrel-host";
}

fs::path Paths::downloadsFolder() {
  if (auto h = ambrelHome()) return fs::path(h) / "Downloads";
  if (auto v = env("XDG_DOWNLOAD_DIR")) return v;
  return userHome() / "Downloads";
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
