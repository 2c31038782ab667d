#include "tests/support/ProcessFigures.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
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

double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double machineBusySeconds() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  in >> cpu;
  double total = 0, idle = 0;
  for (int i = 0; i < 10; ++i) {
    double v = 0;
    if (!(in >> v)) break;
    if (i < 8) total += v;  // guest times are already inside user and nice
    if (i == 3 || i == 4) idle += v;
  }
  return (total - idle) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double loadAverage() {
  std::ifstream in("/proc/loadavg");
  double one = 0;
  in >> one;
  return one;
}

pid_t xServerPid(const std::string& display) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline");
    std::string program, first;
    if (std::getline(in, program, '\0') && std::getline(in, first, '\0') && program.ends_with("Xvfb") &&
        first == display) {
      return static_cast<pid_t>(std::stol(name));
    }
  }
  return 0;
}

}  // namespace corvel::test
