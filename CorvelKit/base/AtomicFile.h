#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <system_error>

#include <sys/types.h>

#include "CorvelKit/base/Bytes.h"

namespace corvel {

// Files that must survive a crash in the middle of a write: the new contents go to a temporary
// file beside the target (created with `mode`), are flushed to disk, and replace the target by
// rename. Readers see either the old file or the new one, never a mix. A writer killed before its
// rename leaves its temporary file behind: the next write of the same file removes those older
// than `staleAfter` (younger ones may be another process's write under way).
struct AtomicFile {
  static constexpr std::chrono::minutes staleAfter{2};

  // Creates missing parent folders (mode 0700). Returns an error instead of throwing.
  [[nodiscard]] static std::error_code write(const std::filesystem::path& path, ByteView contents,
                                             mode_t mode = 0600);
  // The whole file, or nullopt when it cannot be read (missing, unreadable).
  static std::optional<Bytes> read(const std::filesystem::path& path);
};

}  // namespace corvel
