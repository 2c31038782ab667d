#include "Ambrel_Host/controller/HostStatusSource.h"

#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <system_error>

#include "Ambrel_Host/controller/PrimaryMACAddress.h"

namespace ambrel {

namespace {

namespace fs = std::filesystem;

// Kernel attribute files are small; anything longer than this is not what we look for.
constexpr std::size_t kMaxFileSize = 64 * 1024;

std::optional<std::string> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(kMaxFileSize, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return std::nullopt;
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::string_view trim(std::string_view s) {
  constexpr std::string_view space = " \t\r\n";
  auto first = s.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(space) - first + 1);
}

std::optional<std::string> readLine(const fs::path& path) {
  auto text = readFile(path);
  if (!text) return std::nullopt;
  auto line = trim(std::string_view(*text).substr(0, text->find('\n')));
  if (line.empty()) return std::nullopt;
  return std::string(line);
}

std::optional<std::int64_t> parseInteger(std::string_view s) {
  s = trim(s);
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::optional<std::int64_t> readInteger(const fs::path& path) {
  auto line = readLine(path);
  if (!line) return std::nullopt;
  return parseInteger(*line);
}

// Vendors leave these in DMI fields they did not fill in.
bool isPlaceholder(std::string_view value) {
  constexpr std::string_view placeholders[] = {
      "To Be Filled By O.E.M.", "To be filled by O.E.M.", "Default string",
      "System Product Name",    "System product name",    "Not Applicable", "None"};
  return std::find(std::begin(placeholders), std::end(placeholders), value) !=
         std::end(placeholders);
}

// The value of KEY in an os-release file: shell-style, optionally quoted.
std::optional<std::string> osReleaseValue(const std::string& text, std::string_view key) {
  std::string_view rest(text);
  while (!rest.empty()) {
    auto end = rest.find('\n');
    auto line = trim(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != '=') continue;
    auto value = line.substr(key.size() + 1);
    std::string out;
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        out += value[i];
      }
    } else if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
      out = value.substr(1, value.size() - 2);
    } else {
      out = value;
    }
    if (out.empty()) return std::nullopt;
    return out;
  }
  return std::nullopt;
}

std::vector<fs::path> sortedChildren(const fs::path& folder) {
  std::vector<fs::path> children;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    children.push_back(it->path());
  }
  std::sort(children.begin(), children.end());
  return children;
}

}  // namespace

HostStatusSource::HostStatusSource(SlowDiskCache& disk, fs::path root, MACAddressSource macAddress)
    : disk_(disk), root_(std::move(root)), macAddress_(std::move(macAddress)) {}

std::optional<std::string> HostStatusSource::defaultMACAddress() { return primaryMACAddress(); }

corvel::protocol::HostStatus HostStatusSource::makeHostStatus() const {
  corvel::protocol::HostStatus status;
  status.model = model();
  status.osVersion = osVersion();
  status.uptimeSeconds = uptimeSeconds();
  if (auto b = battery()) {
    status.batteryPercent = b->percent;
    status.isCharging = b->isCharging;
  }
  if (auto space = disk_.read()) {
    status.diskFreeBytes = space->freeBytes;
    status.diskTotalBytes = space->totalBytes;
  }
  status.thermalState = thermalState();
  status.memoryGB = memoryGB();
  if (macAddress_) {
    status.macAddress = macAddress_();
    if (status.macAddress == "00:00:00:00:00:00") status.macAddress.reset();
  }
  return status;
}

std::string HostStatusSource::model() const {
  const fs::path dmi = root_ / "sys/class/dmi/id";
  for (const char* name : {"product_name", "product_family", "board_name"}) {
    auto value = readLine(dmi / name);
    if (value && !isPlaceholder(*value)) return *value;
  }
  return "Linux";
}

std::string HostStatusSource::osVersion() const {
  std::optional<std::string> name;
  for (const char* file : {"etc/os-release", "usr/lib/os-release"}) {
    if (auto text = readFile(root_ / file)) {
      name = osReleaseValue(*text, "PRETTY_NAME");
      if (!name) name = osReleaseValue(*text, "NAME");
      break;
    }
  }
  auto kernel = readLine(root_ / "proc/sys/kernel/osrelease");
  if (!kernel && isLiveSystem()) {
    struct utsname u {};
    if (::uname(&u) == 0) kernel = u.release;
  }
  std::string text = name.value_or("Linux");
  if (kernel) text += ", kernel " + *kernel;
  return text;
}

double HostStatusSource::uptimeSeconds() const {
  if (auto line = readLine(root_ / "proc/uptime")) {
    // "12345.67 54321.00": seconds since boot, then idle time.
    auto first = std::string_view(*line).substr(0, line->find(' '));
    double seconds = 0;
    auto [end, error] = std::from_chars(first.data(), first.data() + first.size(), seconds);
    if (error == std::errc() && end == first.data() + first.size() && seconds >= 0) return seconds;
  }
  if (isLiveSystem()) {
    timespec t{};
    if (::clock_gettime(CLOCK_BOOTTIME, &t) == 0) {
      return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    }
  }
  return 0;
}

std::optional<HostStatusSource::Battery> HostStatusSource::battery() const {
  for (const auto& supply : sortedChildren(root_ / "sys/class/power_supply")) {
    if (readLine(supply / "type") != "Battery") continue;
    // Batteries of mice, keyboards and phones report the scope "Device".
    if (readLine(supply / "scope") == "Device") continue;
    if (readInteger(supply / "present") == 0) continue;

    std::optional<std::int64_t> percent;
    for (auto [now, full] : {std::pair{"energy_now", "energy_full"},
                             std::pair{"charge_now", "charge_full"}}) {
      auto current = readInteger(supply / now), maximum = readInteger(supply / full);
      if (current && maximum) {
        percent = *maximum > 0 ? *current * 100 / *maximum : 0;
        break;
      }
    }
    if (!percent) percent = readInteger(supply / "capacity");
    if (!percent) continue;
    // A worn battery can report more charge than its last full charge.
    percent = std::clamp<std::int64_t>(*percent, 0, 100);
    return Battery{.percent = *percent, .isCharging = readLine(supply / "status") == "Charging"};
  }
  return std::nullopt;
}

std::string_view HostStatusSource::thermalStateFor(std::int64_t milliCelsius) {
  if (milliCelsius >= criticalMilliCelsius) return "critical";
  if (milliCelsius >= seriousMilliCelsius) return "serious";
  if (milliCelsius >= fairMilliCelsius) return "fair";
  return "nominal";
}

std::string HostStatusSource::thermalState() const {
  std::optional<std::int64_t> hottest;
  for (const auto& zone : sortedChildren(root_ / "sys/class/thermal")) {
    if (!zone.filename().string().starts_with("thermal_zone")) continue;
    auto temp = readInteger(zone / "temp");
    // Sensors that are off or broken read 0, negative or absurd values.
    if (!temp || *temp <= 0 || *temp > 200'000) continue;
    hottest = std::max(hottest.value_or(*temp), *temp);
  }
  if (!hottest) return "unknown";
  return std::string(thermalStateFor(*hottest));
}

double HostStatusSource::memoryGB() const {
  if (auto text = readFile(root_ / "proc/meminfo")) {
    auto at = text->find("MemTotal:");
    if (at != std::string::npos) {
      auto line = std::string_view(*text).substr(at + 9);
      line = trim(line.substr(0, line.find('\n')));
      if (line.ends_with("kB")) line = trim(line.substr(0, line.size() - 2));
      if (auto kib = parseInteger(line); kib && *kib >= 0) {
        return static_cast<double>(*kib) * 1024.0 / (1024.0 * 1024.0 * 1024.0);
      }
    }
  }
  if (isLiveSystem()) {
    long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0) {
      return static_cast<double>(pages) * static_cast<double>(pageSize) /
             (1024.0 * 1024.0 * 1024.0);
    }
  }
  return 0;
}

}  // namespace ambrel
