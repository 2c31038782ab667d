#include "Ambrel_Host/reach/HardwareModel.h"

#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <string_view>

namespace ambrel {

namespace {

// Names that say nothing about the computer, compared without case.
constexpr std::array<std::string_view, 9> kPlaceholders{
    "to be filled by o.e.m.", "system product name", "default string", "not applicable", "none",
    "not specified", "unknown", "o.e.m.", "type1productconfigid"};

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// The first line of a small file with control characters and outer white space removed; device
// tree strings end in a zero byte.
std::optional<std::string> readName(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(256, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  text = text.substr(0, text.find_first_of(std::string_view("\n\0", 2)));
  std::erase_if(text, [](unsigned char c) { return c < 0x20 || c == 0x7F; });
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);
  if (std::find(kPlaceholders.begin(), kPlaceholders.end(), lower(text)) != kPlaceholders.end()) {
    return std::nullopt;
  }
  return text;
}

}  // namespace

std::optional<std::string> HardwareModel::fromFirmware(const std::filesystem::path& root) {
  for (const char* file : {"sys/class/dmi/id/product_name", "sys/firmware/devicetree/base/model",
                           "proc/device-tree/model"}) {
    if (auto name = readName(root / file)) return name;
  }
  return std::nullopt;
}

std::string HardwareModel::current() {
  if (auto name = fromFirmware("/")) return *name;
  utsname system{};
  if (::uname(&system) == 0) return std::string("Linux ") + system.machine;
  return "Linux";
}

}  // namespace ambrel
