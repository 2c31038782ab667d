#include "Ambrel_Host/controller/HostSettings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

#include "CorvelKit/base/JSONCoding.h"

namespace ambrel {

namespace {
constexpr std::array<std::string_view, 11> kKeys = {
    "idleTimeoutMinutes", "lockWhenSessionEnds", "blankScreen", "askBeforeConnecting",
    "browserAccess",      "quality",             "shareClipboard", "shareSound",
    "preferHEVC",         "preferHDR",           "highFrameRate"};
}  // namespace

HostSettings::HostSettings(std::shared_ptr<corvel::Defaults> defaults)
    : defaults_(std::move(defaults)) {}

void HostSettings::registerDefaults() {
  defaults_->registerDefaults({{"askBeforeConnecting", true},
                               {"quality", "balanced"},
                               {"shareClipboard", true},
                               {"shareSound", true},
                               {"preferHEVC", true},
                               {"preferHDR", false}});
}

int HostSettings::idleTimeoutMinutes() const {
  auto v = defaults_->integer("idleTimeoutMinutes");
  return static_cast<int>(std::clamp<std::int64_t>(v, 0, std::numeric_limits<int>::max()));
}
void HostSettings::setIdleTimeoutMinutes(int m) { defaults_->set("idleTimeoutMinutes", m); }

bool HostSettings::lockWhenSessionEnds() const { return defaults_->boolean("lockWhenSessionEnds"); }
void HostSettings::setLockWhenSessionEnds(bool on) { defaults_->set("lockWhenSessionEnds", on); }
bool HostSettings::blankScreen() const { return defaults_->boolean("blankScreen"); }
void HostSettings::setBlankScreen(bool on) { defaults_->set("blankScreen", on); }
bool HostSettings::askBeforeConnecting() const { return defaults_->boolean("askBeforeConnecting"); }
void HostSettings::setAskBeforeConnecting(bool on) { defaults_->set("askBeforeConnecting", on); }
bool HostSettings::browserAccess() const { return defaults_->boolean("browserAccess"); }
void HostSettings::setBrowserAccess(bool on) { defaults_->set("browserAccess", on); }

StreamQuality HostSettings::quality() const {
  auto raw = defaults_->string("quality");
  return raw ? streamQuality(*raw).value_or(StreamQuality::balanced) : StreamQuality::balanced;
}
void HostSettings::setQuality(StreamQuality q) { defaults_->set("quality", std::string(name(q))); }

bool HostSettings::shareClipboard() const { return defaults_->boolean("shareClipboard"); }
void HostSettings::setShareClipboard(bool on) { defaults_->set("shareClipboard", on); }
bool HostSettings::shareSound() const { return defaults_->boolean("shareSound"); }
void HostSettings::setShareSound(bool on) { defaults_->set("shareSound", on); }
bool HostSettings::preferHEVC() const { return defaults_->boolean("preferHEVC"); }
void HostSettings::setPreferHEVC(bool on) { defaults_->set("preferHEVC", on); }
bool HostSettings::preferHDR() const { return defaults_->boolean("preferHDR"); }
void HostSettings::setPreferHDR(bool on) { defaults_->set("preferHDR", on); }
bool HostSettings::highFrameRate() const { return defaults_->boolean("highFrameRate"); }
void HostSettings::setHighFrameRate(bool on) { defaults_->set("highFrameRate", on); }

std::vector<TrustedDevice> HostSettings::trustedDevices() const {
  auto data = defaults_->data("trustedDevices");
  if (!data) return {};
  auto decoded = corvel::JSONCoding::decode<std::vector<TrustedDevice>>(*data);
  return decoded ? std::move(*decoded) : std::vector<TrustedDevice>{};
}

void HostSettings::setTrustedDevices(const std::vector<TrustedDevice>& devices) {
  auto encoded = corvel::JSONCoding::encode(devices);
  if (encoded) defaults_->setData("trustedDevices", *encoded);
}

std::span<const std::string_view> HostSettings::keys() { return kKeys; }

std::optional<nlohmann::json> HostSettings::value(std::string_view key) const {
  if (key == "idleTimeoutMinutes") return idleTimeoutMinutes();
  if (key == "quality") return std::string(name(quality()));
  if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end()) return std::nullopt;
  return defaults_->boolean(key);
}

std::optional<std::string> HostSettings::setFromText(std::string_view key, std::string_view text) {
  if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end()) {
    return "Unknown setting \"" + std::string(key) + "\".";
  }
  if (key == "idleTimeoutMinutes") {
    int minutes = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), minutes);
    if (ec != std::errc{} || end != text.data() + text.size() || minutes < 0) {
      return "idleTimeoutMinutes takes a whole number of minutes, 0 or more.";
    }
    setIdleTimeoutMinutes(minutes);
    return std::nullopt;
  }
  if (key == "quality") {
    auto q = streamQuality(text);
    if (!q) return "quality takes smooth, balanced or sharp.";
    setQuality(*q);
    return std::nullopt;
  }
  if (text != "true" && text != "false") {
    return std::string(key) + " takes true or false.";
  }
  defaults_->set(key, text == "true");
  return std::nullopt;
}

}  // namespace ambrel
