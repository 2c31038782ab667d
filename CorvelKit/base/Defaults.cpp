#include "CorvelKit/base/Defaults.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/Base64.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"

namespace corvel {

namespace {
auto& log() { return Log::core("defaults"); }

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}
}  // namespace

Defaults::Defaults(std::filesystem::path file) : file_(std::move(file)) {
  auto contents = AtomicFile::read(file_);
  if (!contents) return;
  auto parsed = nlohmann::json::parse(contents->begin(), contents->end(), nullptr, false);
  if (parsed.is_object()) {
    stored_ = std::move(parsed);
    return;
  }
  // Keep the unreadable file for a person to look at instead of overwriting it at the next save.
  auto aside = file_;
  aside += ".corrupt";
  std::error_code ec;
  std::filesystem::rename(file_, aside, ec);
  log().warn("settings file {} is not a JSON object; moved aside to {}", file_.string(),
             aside.string());
}

std::filesystem::path Defaults::standardFile() { return Paths::configFolder() / "settings.json"; }

void Defaults::registerDefaults(const nlohmann::json& values) {
  if (!values.is_object()) return;
  std::lock_guard lock(mutex_);
  for (const auto& [key, value] : values.items()) registered_[key] = value;
}

std::optional<nlohmann::json> Defaults::lookup(std::string_view key) const {
  if (auto it = stored_.find(key); it != stored_.end() && !it->is_null()) return *it;
  if (auto it = registered_.find(key); it != registered_.end() && !it->is_null()) return *it;
  return std::nullopt;
}

std::optional<nlohmann::json> Defaults::object(std::string_view key) const {
  std::lock_guard lock(mutex_);
  return lookup(key);
}

bool Defaults::boolean(std::string_view key) const {
  auto v = object(key);
  if (!v) return false;
  if (v->is_boolean()) return v->get<bool>();
  if (v->is_number()) return v->get<double>() != 0;
  if (v->is_string()) {
    auto s = lower(v->get<std::string>());
    return s == "true" || s == "yes" || s == "1";
  }
  return false;
}

std::int64_t Defaults::integer(std::string_view key) const {
  auto v = object(key);
  if (!v) return 0;
  if (v->is_number_integer()) return v->get<std::int64_t>();
  if (v->is_number_unsigned()) {
    auto u = v->get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(u);
  }
  if (v->is_number_float()) {
    double d = v->get<double>();
    if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) return 0;
    return static_cast<std::int64_t>(d);
  }
  if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
  if (v->is_string()) {
    try {
      std::size_t used = 0;
      auto s = v->get<std::string>();
      auto n = std::stoll(s, &used);
      return used == s.size() ? n : 0;
    } catch (const std::exception&) {
      return 0;
    }
  }
  return 0;
}

std::optional<std::string> Defaults::string(std::string_view key) const {
  auto v = object(key);
  if (!v) return std::nullopt;
  if (v->is_string()) return v->get<std::string>();
  if (v->is_number() || v->is_boolean()) return v->dump();
  return std::nullopt;
}

std::optional<Bytes> Defaults::data(std::string_view key) const {
  auto v = object(key);
  if (!v || !v->is_string()) return std::nullopt;
  return Base64::decode(v->get_ref<const std::string&>());
}

void Defaults::set(std::string_view key, nlohmann::json value) {
  std::lock_guard lock(mutex_);
  stored_[std::string(key)] = std::move(value);
  save();
}

void Defaults::setData(std::string_view key, ByteView value) { set(key, Base64::encode(value)); }

void Defaults::remove(std::string_view key) {
  std::lock_guard lock(mutex_);
  if (stored_.erase(std::string(key)) > 0) save();
}

nlohmann::json Defaults::storedValues() const {
  std::lock_guard lock(mutex_);
  return stored_;
}

void Defaults::save() {
  auto text = stored_.dump(2);
  text.push_back('\n');
  if (auto ec = AtomicFile::write(file_, asBytes(text), 0600)) {
    log().error("couldn't save settings to {}: {}", file_.string(), ec.message());
  }
}

}  // namespace corvel
