#include "Ambrel_Host/shell/UpdateRelease.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace ambrel {

namespace {

using Failure = corvel::Unexpected<std::string>;

std::optional<std::int64_t> wholeNumber(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    const auto n = value.get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(n);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    // 42.0 is the number 42; 42.5 or 1e300 is no build number.
    const double d = value.get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) > 9.0e15) return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

}  // namespace

corvel::Expected<UpdateRelease, std::string> UpdateRelease::decode(std::string_view document) {
  auto json = nlohmann::json::parse(document, nullptr, false);
  if (json.is_discarded()) return Failure{std::string("The update information isn't valid JSON.")};
  if (!json.is_object()) return Failure{std::string("The update information isn't in the expected format.")};

  UpdateRelease release;
  auto text = [&](const char* key, bool required, auto& into) -> std::optional<std::string> {
    auto it = json.find(key);
    if (it == json.end() || it->is_null()) {
      if (required) return std::string("The update information has no \"") + key + "\".";
      return std::nullopt;
    }
    if (!it->is_string()) return std::string("The update information's \"") + key + "\" isn't text.";
    into = it->get<std::string>();
    return std::nullopt;
  };
  if (auto problem = text("shortVersion", true, release.shortVersion)) return Failure{*problem};
  if (auto problem = text("url", true, release.url)) return Failure{*problem};
  if (auto problem = text("notes", false, release.notes)) return Failure{*problem};
  if (auto problem = text("minimumSystemVersion", false, release.minimumSystemVersion)) {
    return Failure{*problem};
  }
  auto build = json.find("build");
  if (build == json.end() || build->is_null()) {
    return Failure{std::string("The update information has no \"build\".")};
  }
  auto number = wholeNumber(*build);
  if (!number) return Failure{std::string("The update information's \"build\" isn't a whole number.")};
  release.build = *number;
  return release;
}

bool UpdateRelease::isDirectDownload() const {
  constexpr std::string_view suffix = ".dmg";
  if (url.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), url.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                    [](char a, char b) {
                      return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                    });
}

std::int64_t UpdateRelease::installedBuild(std::string_view text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || text.empty() || value < 0) return 0;
  return value;
}

bool UpdateRelease::isWebAddress(std::string_view url) {
  std::string_view rest;
  auto startsWith = [&](std::string_view scheme) {
    if (url.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
    }
    rest = url.substr(scheme.size());
    return true;
  };
  if (!startsWith("https://") && !startsWith("http://")) return false;
  const auto hostEnd = rest.find_first_of("/?#");
  const auto host = rest.substr(0, hostEnd);
  if (host.empty() || host.front() == ':' || host.find('@') != std::string_view::npos) return false;
  return std::none_of(url.begin(), url.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7f;
  });
}

}  // namespace ambrel
