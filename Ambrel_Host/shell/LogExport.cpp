#include "Ambrel_Host/shell/LogExport.h"

#include <fstream>
#include <vector>

#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"

namespace ambrel {

namespace fs = std::filesystem;

namespace {
// How many older files the log rotates into ("ambrel-host.1.log" is the newest of them).
constexpr int kRotatedFiles = 3;

fs::path rotated(const fs::path& file, int index) {
  return file.parent_path() /
         (file.stem().string() + "." + std::to_string(index) + file.extension().string());
}
}  // namespace

fs::path LogExport::logFile() { return corvel::Paths::dataFolder() / "logs" / "ambrel-host.log"; }

std::optional<std::string> LogExport::write(const fs::path& logFile, const fs::path& destination) {
  corvel::Log::flush();
  std::vector<fs::path> sources;
  for (int i = kRotatedFiles; i >= 1; --i) sources.push_back(rotated(logFile, i));
  sources.push_back(logFile);

  const auto partial = fs::path(destination.string() + ".part");
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) return "Couldn't write " + destination.filename().string() + ".";
    for (const auto& source : sources) {
      std::ifstream in(source, std::ios::binary);
      // Missing (not rotated that far yet) or empty: nothing to copy, and copying nothing would
      // mark the output as failed.
      if (!in || in.peek() == std::ifstream::traits_type::eof()) continue;
      out << in.rdbuf();
    }
    out.flush();
    if (!out) return "Couldn't write " + destination.filename().string() + ".";
  }
  std::error_code ec;
  fs::rename(partial, destination, ec);
  if (ec) {
    fs::remove(partial, ec);
    return "Couldn't write " + destination.filename().string() + ".";
  }
  return std::nullopt;
}

}  // namespace ambrel
