#include "tests/support/ProcessFigures.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace corvel::test {

int openDescriptors(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return n;
}

long residentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace corvel::test
