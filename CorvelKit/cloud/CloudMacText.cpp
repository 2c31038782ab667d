#include "CorvelKit/cloud/CloudMacText.h"

#include <cmath>
#include <ctime>

#include "CorvelKit/base/Unicode.h"

namespace corvel::cloud {

namespace {

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + unicode::escapeControls(item);
  return out.empty() ? "none" : out;
}

}  // namespace

std::string CloudMacText::utc(Date date) {
  const double unix = date.unixSeconds();
  if (!std::isfinite(unix) || unix < 0 || unix > 253402300799.0) return "never";  // past 9999
  const auto seconds = static_cast<std::time_t>(unix);
  std::tm parts{};
  if (::gmtime_r(&seconds, &parts) == nullptr) return "never";
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) return "never";
  return text;
}

std::vector<std::string> CloudMacText::lines(const CloudMac& mac, Date now, bool showSecrets) {
  std::vector<std::string> out;
  out.push_back(unicode::escapeControls(mac.name) + "  " + unicode::escapeControls(mac.id));
  if (!mac.model.empty()) out.push_back("  model: " + unicode::escapeControls(mac.model));
  out.push_back("  last seen: " + utc(mac.lastSeen) + (mac.isOnline(now) ? " (online)" : " (offline)"));
  out.push_back("  local addresses: " + joined(mac.lanAddresses));
  out.push_back("  internet: " + joined(mac.internetEndpoints()));
  if (mac.natHost && mac.natPort) {
    out.push_back("  hole punching: " + unicode::escapeControls(*mac.natHost) + ":" + std::to_string(*mac.natPort));
  }
  const std::pair<const char*, const std::optional<std::string>*> sealed[] = {
      {"access code", &mac.accessCode}, {"identity", &mac.identity}, {"owner token", &mac.authToken}};
  std::string names;
  for (const auto& [label, value] : sealed) {
    if (!*value) continue;
    if (showSecrets) {
      out.push_back(std::string("  ") + label + ": " + unicode::escapeControls(**value));
    } else {
      names += (names.empty() ? "" : ", ") + std::string(label);
    }
  }
  if (!showSecrets) out.push_back("  sealed: " + (names.empty() ? std::string("none") : names));
  return out;
}

}  // namespace corvel::cloud
