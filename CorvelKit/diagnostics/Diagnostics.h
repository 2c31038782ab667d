#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel::diagnostics {

// Who the reports are about: the program's identifier, versions and the build id of its binary.
struct AppIdentity {
  std::string app;           // e.g. "com.pinebay.corvel.host"
  std::string shortVersion;  // "0.1.0"
  std::string build;         // "1"
  std::string buildID;       // hex GNU build id of the running binary, empty when it has none

  // "shortVersion (build)", each part "?" when missing.
  std::string versionText() const;
};

// The crash, hang and metric reports of the program, kept as JSON files in a folder of its own,
// and the problem report that bundles the newest of them with a note. Payload files are named
// "<UTC time>-<kind>-<6 hex>.json" with "-" for ":" (2026-01-31T09-05-00Z-diagnostic-3F2A9C.json),
// so names sort by time. Thread-safe: every call only touches files.
class Diagnostics {
 public:
  // The problem report holds at most this many payloads; the folder keeps at most `keptFiles`,
  // dropping the oldest when a new one is saved.
  static constexpr std::size_t reportedPayloads = 10;
  static constexpr std::size_t keptFiles = 100;
  static constexpr std::string_view diagnosticKind = "diagnostic";
  static constexpr std::string_view metricsKind = "metrics";

  Diagnostics(std::filesystem::path folder, AppIdentity identity);

  // Diagnostics in the data folder (moved by AMBREL_HOME).
  static std::filesystem::path defaultFolder();
  // "Ambrel Problem Report.json" in the temporary folder.
  static std::filesystem::path defaultReportFile();

  const std::filesystem::path& folder() const { return folder_; }
  const AppIdentity& identity() const { return identity_; }

  // Creates the folder (mode 0700); an error is logged and otherwise ignored.
  void start();
  // Saves each payload (JSON text) as a file of `kind`; a failed write is skipped. Logs
  // "saved N <kind> payload(s)" unless the batch is empty.
  void save(const std::vector<std::string>& payloads, std::string_view kind);
  // The saved payloads, newest first (by name); an unreadable folder gives none.
  std::vector<std::filesystem::path> reports() const;
  // Writes the problem report to `file` (replacing an earlier one, mode 0600) and returns it;
  // nothing only when the report can't be made at all.
  std::optional<std::filesystem::path> problemReport(
      std::string_view note, const std::filesystem::path& file = defaultReportFile()) const;

  // The name a payload of `kind` saved at `unixSeconds` gets, with `suffix` as its random part.
  static std::string fileName(long long unixSeconds, std::string_view kind, std::string_view suffix);
  // The operating system: "Linux <kernel release>" and the distribution's name when known.
  static std::string systemVersion();

 private:
  void prune() const;

  std::filesystem::path folder_;
  AppIdentity identity_;
};

}  // namespace corvel::diagnostics
