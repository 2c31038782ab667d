#include "Ambrel_Host/reach/ComputerName.h"

#include <unistd.h>

#include <climits>
#include <fstream>

namespace ambrel {

namespace {
std::string prettyHostName() {
  std::ifstream in("/etc/machine-info");
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with("PRETTY_HOSTNAME=")) continue;
    auto value = line.substr(16);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}
}  // namespace

std::string computerName() {
  if (auto pretty = prettyHostName(); !pretty.empty()) return pretty;
  char buf[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) == 0 && buf[0] != '\0') return buf;
  return "Mac";
}

}  // namespace ambrel
