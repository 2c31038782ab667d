#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace ambrel {

// "Export Logs": the host's log file and the older files it rotated into, oldest line first, as
// one text file. The log never holds codes, keys or screen content, so it is copied as it is.
struct LogExport {
  static constexpr const char* fileName = "Ambrel Host Log.txt";

  // The file the running host logs to, in its data folder.
  static std::filesystem::path logFile();
  // Writes the export to `destination`; an error sentence when that failed.
  [[nodiscard]] static std::optional<std::string> write(const std::filesystem::path& logFile,
                                                        const std::filesystem::path& destination);
};

}  // namespace ambrel
