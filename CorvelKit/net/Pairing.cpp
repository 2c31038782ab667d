#include "CorvelKit/net/Pairing.h"

#include <charconv>
#include <map>
#include <vector>

#include "CorvelKit/security/AccessCode.h"

namespace corvel::net {

namespace {

// Characters left as they are in a query value; everything else is percent-encoded (including
// "&", "=", "+" and "#", which would change the query's meaning).
bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string percentEncode(std::string_view s) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (unreserved(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 0xF]);
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    int hi = i + 1 < s.size() ? hexValue(s[i + 1]) : -1;
    int lo = i + 2 < s.size() ? hexValue(s[i + 2]) : -1;
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi << 4 | lo));
    i += 2;
  }
  return out;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string Pairing::url(const PairingInfo& info) {
  std::string s = std::string(scheme) + "://" + std::string(action) + "?name=" +
                  percentEncode(info.name) + "&code=" + percentEncode(info.code) +
                  "&port=" + std::to_string(info.port);
  if (info.host) s += "&host=" + percentEncode(*info.host);
  return s;
}

std::optional<PairingInfo> Pairing::parse(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);

  // scheme ":" "//" host [path] ["?" query] ["#" fragment]; scheme and host compare exactly.
  auto prefix = std::string(scheme) + "://" + std::string(action);
  if (!text.starts_with(prefix)) return std::nullopt;
  auto rest = text.substr(prefix.size());
  if (auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
  std::string_view query;
  if (!rest.empty()) {
    // Only an empty path (or "/") may stand between the host and the query; anything else means
    // the host part was longer than "pair".
    auto q = rest.find('?');
    auto path = rest.substr(0, q);
    if (!path.empty() && path != "/") return std::nullopt;
    if (q != std::string_view::npos) query = rest.substr(q + 1);
  }

  std::map<std::string, std::string, std::less<>> items;  // first occurrence wins
  while (!query.empty()) {
    auto amp = query.find('&');
    auto item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    if (item.empty()) continue;
    auto eq = item.find('=');
    auto name = percentDecode(item.substr(0, eq));
    auto value = eq == std::string_view::npos ? std::optional<std::string>("")
                                              : percentDecode(item.substr(eq + 1));
    if (!name || !value) return std::nullopt;
    items.emplace(std::move(*name), std::move(*value));
  }

  PairingInfo info;
  auto name = items.find("name");
  if (name == items.end() || name->second.empty()) return std::nullopt;
  info.name = name->second;

  auto code = items.find("code");
  if (code == items.end()) return std::nullopt;
  auto normalized = security::AccessCode::normalize(code->second);
  if (security::AccessCode::characterCount(normalized) != security::AccessCode::length) {
    return std::nullopt;
  }
  info.code = security::AccessCode::format(normalized);

  if (auto port = items.find("port"); port != items.end()) {
    const auto& p = port->second;
    std::uint16_t value = 0;
    auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), value);
    if (!p.empty() && ec == std::errc{} && end == p.data() + p.size()) info.port = value;
  }
  if (auto host = items.find("host"); host != items.end() && !host->second.empty()) {
    info.host = host->second;
  }
  return info;
}

}  // namespace corvel::net
