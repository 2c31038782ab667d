#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace ambrel {

// A small process that outlives the host if it has to: it waits until the host closes the pipe
// between them — on purpose, or because the host died, even by SIGKILL — and then puts back the
// gamma ramps the curtain's state file still holds. When the host ended the curtain itself the
// file is gone and the guard just exits.
class CurtainGuard {
 public:
  // The argument that makes `program` run as the guard: `program --curtain-guard STATEFILE`.
  static constexpr const char* argument = "--curtain-guard";

  // Starts `program` as the guard for `stateFile`; isRunning() says whether it did.
  CurtainGuard(const std::filesystem::path& program, const std::filesystem::path& stateFile);
  // Lets the guard go (it restores whatever is left) and waits for it.
  ~CurtainGuard();
  CurtainGuard(const CurtainGuard&) = delete;
  CurtainGuard& operator=(const CurtainGuard&) = delete;

  bool isRunning() const { return pid_ > 0; }

  // The guard's side: waits for the end of its standard input, restores, returns the exit status.
  static int run(const std::filesystem::path& stateFile);

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;  // the write end; the guard reads the other one as its standard input
};

}  // namespace ambrel
