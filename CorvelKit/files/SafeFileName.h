#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvel::files {

// Names that received files are saved under: always one plain entry of the receiving folder,
// whatever a peer offered.
struct SafeFileName {
  // The most bytes a name may have on Linux file systems.
  static constexpr std::size_t maximumBytes = 255;

  // The offered name's last path component with "/", ":" and control characters turned into
  // "-", spaces and periods trimmed from both ends, shortened to maximumBytes (at a
  // character boundary, keeping the extension); "File" when nothing is left. The result is never
  // empty, ".", ".." or hidden.
  static std::string make(std::string_view offered);

  // The n-th candidate for a name that is taken (n ≥ 2): "report 2.pdf", "notes 2", shortened in
  // its base so that it still fits.
  static std::string numbered(std::string_view name, int n);

  // Splits "archive.tar.gz" into "archive.tar" and "gz"; a name without a period (or only one at
  // its start) has no extension.
  static std::pair<std::string_view, std::string_view> splitExtension(std::string_view name);
};

}  // namespace corvel::files
