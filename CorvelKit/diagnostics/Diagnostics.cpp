#include "CorvelKit/diagnostics/Diagnostics.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <fstream>

#include <nlohmann/json.hpp>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/diagnostics/CivilTime.h"

namespace corvel::diagnostics {

namespace {

auto& log() { return Log::core("diagnostics"); }

ByteView bytesOf(std::string_view text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string isoNow() {
  const auto now = std::chrono::system_clock::now();
  return CivilTime::iso8601(std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
}

}  // namespace

std::string AppIdentity::versionText() const {
  return (shortVersion.empty() ? std::string("?") : shortVersion) + " (" + (build.empty() ? std::string("?") : build) +
         ")";
}

Diagnostics::Diagnostics(std::filesystem::path folder, AppIdentity identity)
    : folder_(std::move(folder)), identity_(std::move(identity)) {}

std::filesystem::path Diagnostics::defaultFolder() { return Paths::dataFolder() / "Diagnostics"; }

std::filesystem::path Diagnostics::defaultReportFile() {
  return Paths::temporaryFolder() / "Ambrel Problem Report.json";
}

void Diagnostics::start() {
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  if (ec) {
    log().error("couldn't create the diagnostics folder: {}", ec.message());
    return;
  }
  ::chmod(folder_.c_str(), 0700);
}

std::string Diagnostics::fileName(long long unixSeconds, std::string_view kind, std::string_view suffix) {
  std::string name = CivilTime::iso8601(unixSeconds) + "-" + std::string(kind) + "-" + std::string(suffix) + ".json";
  std::replace(name.begin(), name.end(), ':', '-');
  return name;
}

void Diagnostics::save(const std::vector<std::string>& payloads, std::string_view kind) {
  if (payloads.empty()) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  for (const auto& payload : payloads) {
    const auto name = fileName(seconds, kind, UUID::random().string().substr(0, 6));
    if (auto ec = AtomicFile::write(folder_ / name, bytesOf(payload))) {
      log().debug("couldn't save a {} payload: {}", kind, ec.message());
    }
  }
  log().info("saved {} {} payload(s)", payloads.size(), kind);
  prune();
}

std::vector<std::filesystem::path> Diagnostics::reports() const {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    const auto name = it->path().filename().string();
    // Temporary files of a write under way start with "." and are no reports yet.
    if (name.starts_with(".") || it->path().extension() != ".json") continue;
    files.push_back(it->path());
  }
  if (ec) return {};
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a.filename().string() > b.filename().string(); });
  return files;
}

void Diagnostics::prune() const {
  auto files = reports();
  for (std::size_t i = keptFiles; i < files.size(); ++i) {
    std::error_code ec;
    std::filesystem::remove(files[i], ec);
  }
}

std::string Diagnostics::systemVersion() {
  std::string text = "Linux";
  utsname names{};
  if (::uname(&names) == 0) text = std::string(names.sysname) + " " + names.release;
  std::ifstream release("/etc/os-release");
  std::string line;
  while (std::getline(release, line)) {
    if (!line.starts_with("PRETTY_NAME=")) continue;
    auto value = line.substr(12);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (!value.empty()) text += " (" + value + ")";
    break;
  }
  return text;
}

std::optional<std::filesystem::path> Diagnostics::problemReport(std::string_view note,
                                                                const std::filesystem::path& file) const {
  nlohmann::ordered_json report;
  report["app"] = identity_.app.empty() ? std::string("?") : identity_.app;
  report["version"] = identity_.versionText();
  report["buildID"] = identity_.buildID;
  report["os"] = systemVersion();
  report["note"] = std::string(note);
  report["date"] = isoNow();
  auto parsed = nlohmann::ordered_json::array();
  auto files = reports();
  if (files.size() > reportedPayloads) files.resize(reportedPayloads);
  for (const auto& path : files) {
    auto bytes = AtomicFile::read(path);
    if (!bytes) continue;
    auto value = nlohmann::ordered_json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (value.is_discarded()) continue;
    parsed.push_back(std::move(value));
  }
  report["reports"] = std::move(parsed);
  std::string text;
  try {
    // Notes and payloads may hold invalid UTF-8: written with replacement characters.
    text = report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  text += "\n";
  if (auto ec = AtomicFile::write(file, bytesOf(text))) {
    log().error("couldn't write the problem report: {}", ec.message());
  }
  return file;
}

}  // namespace corvel::diagnostics
