#include "Ambrel_Host/controller/WebAddress.h"

#include <algorithm>

namespace ambrel {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// RFC 3986 unreserved and reserved characters; '%' is checked apart.
bool isAddressCharacter(char c) {
  constexpr std::string_view others = "-._~:/?#[]@!$&'()*+,;=";
  return isAlpha(c) || isDigit(c) || others.find(c) != std::string_view::npos;
}

std::string lowered(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return out;
}

}  // namespace

std::optional<std::string> WebAddress::normalize(std::string_view text) {
  std::string address =
      text.find("://") == std::string_view::npos ? "https://" + std::string(text) : std::string(text);

  for (std::size_t i = 0; i < address.size(); ++i) {
    char c = address[i];
    if (c == '%') {
      if (i + 2 >= address.size() || !isHex(address[i + 1]) || !isHex(address[i + 2])) {
        return std::nullopt;
      }
      i += 2;
    } else if (!isAddressCharacter(c)) {
      return std::nullopt;
    }
  }

  auto colon = address.find(':');
  std::string_view scheme = std::string_view(address).substr(0, colon);
  if (scheme.empty() || !isAlpha(scheme[0])) return std::nullopt;
  auto lowerScheme = lowered(scheme);
  if (lowerScheme != "http" && lowerScheme != "https") return std::nullopt;
  if (address.compare(colon, 3, "://") != 0) return std::nullopt;

  // The authority: [userinfo@]host[:port], up to the path, query or fragment.
  auto rest = std::string_view(address).substr(colon + 3);
  auto authority = rest.substr(0, rest.find_first_of("/?#"));
  if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view host = authority;
  if (host.starts_with('[')) {
    auto close = host.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    auto after = host.substr(close + 1);
    if (!after.empty() && (after[0] != ':' || !std::all_of(after.begin() + 1, after.end(), isDigit))) {
      return std::nullopt;
    }
    host = host.substr(1, close - 1);
  } else if (auto portColon = host.find(':'); portColon != std::string_view::npos) {
    auto port = host.substr(portColon + 1);
    if (!std::all_of(port.begin(), port.end(), isDigit)) return std::nullopt;
    host = host.substr(0, portColon);
  }
  if (host.empty()) return std::nullopt;
  return address;
}

}  // namespace ambrel
