#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <system_error>

#include "CorvelKit/base/Expected.h"

namespace ambrel {

// A private X server (Xvfb) with RandR, MIT-SHM, DAMAGE and XFIXES, for a host started without
// $DISPLAY and for tests. It takes the first free display number from 20 on (no socket in
// /tmp/.X11-unix and no lock file), learns through -displayfd when the server listens, and waits
// until it accepts a connection. Several can run at once, also from parallel processes: a number
// taken between the scan and the start just makes it try the next one. Destroying it stops the
// server.
class VirtualDisplay {
 public:
  struct Options {
    int width = 1920;
    int height = 1080;
    int depth = 24;
  };

  [[nodiscard]] static corvel::Expected<std::unique_ptr<VirtualDisplay>, std::error_code> start(Options options);
  [[nodiscard]] static corvel::Expected<std::unique_ptr<VirtualDisplay>, std::error_code> start() {
    return start(Options{});
  }

  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // The display name to connect to, ":<number>".
  const std::string& name() const { return name_; }
  int number() const { return number_; }
  pid_t pid() const { return pid_; }

 private:
  VirtualDisplay(pid_t pid, int number);
  pid_t pid_;
  int number_;
  std::string name_;
};

}  // namespace ambrel
