#pragma once

#include <filesystem>
#include <string>

#include "CorvelKit/diagnostics/Diagnostics.h"

namespace corvel::diagnostics {

// Writes a crash report into the diagnostics folder when the process dies of SIGSEGV, SIGBUS,
// SIGFPE, SIGILL, SIGABRT or SIGTRAP, then lets the signal end the process as it would have.
// The report is a JSON object: "kind": "crash", "timestamp", "app", "version", "buildID", "pid",
// "signal", "signalName", "code", "faultAddress", "thread" {"id", "name"} and "backtrace", an array
// of {"address", "module", "offset"} frames (offsets into this program's binary, for
// `addr2line -e PROGRAM OFFSET` with the binary of that build id).
//
// Everything the handler needs is prepared by install(); the handler itself only uses
// async-signal-safe calls (open, write, close, clock_gettime, syscall, backtrace after it was
// warmed up) and no heap.
struct CrashHandler {
  // Installs the handler (once per process; a later call updates the folder and identity).
  static void install(const std::filesystem::path& folder, const AppIdentity& identity);
  // The GNU build id of the running program, in hexadecimal; empty when it has none.
  static std::string buildID();
};

}  // namespace corvel::diagnostics
