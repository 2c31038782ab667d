#pragma once

#include <string>
#include <vector>

#include "CorvelKit/base/Date.h"
#include "CorvelKit/cloud/CloudMac.h"

namespace corvel::cloud {

// A presence record as lines for a terminal (the host's `cloud` command, the client's host list).
// Names and addresses come from other devices: control characters are shown as \xNN.
struct CloudMacText {
  // "NAME  ID", then indented lines: model, last seen (and whether online at `now`), local
  // addresses, internet endpoints, hole-punch endpoint; the sealed fields by value when
  // `showSecrets`, else by name.
  static std::vector<std::string> lines(const CloudMac& mac, Date now, bool showSecrets);
  // "2026-12-10 16:30:05 UTC"; "never" for dates before 1970.
  static std::string utc(Date date);
};

}  // namespace corvel::cloud
