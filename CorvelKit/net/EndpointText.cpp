#include "CorvelKit/net/EndpointText.h"

namespace corvel::net {

std::optional<Endpoint> parseEndpoint(std::string_view text, std::uint16_t defaultPort) {
  Endpoint e;
  e.port = defaultPort;
  std::string_view host = text;
  // [v6]:port, v4:port or name:port; a bare IPv6 address has several colons and no port.
  if (text.starts_with('[')) {
    auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    auto rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) return std::nullopt;
      text = rest.substr(1);
    } else {
      text = {};
    }
  } else if (auto colon = text.rfind(':');
             colon != std::string_view::npos && text.find(':') == colon) {
    host = text.substr(0, colon);
    text = text.substr(colon + 1);
  } else {
    text = {};
  }
  if (!text.empty()) {
    int port = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      port = port * 10 + (c - '0');
      if (port > 65535) return std::nullopt;
    }
    if (port == 0) return std::nullopt;
    e.port = static_cast<std::uint16_t>(port);
  }
  if (host.empty()) return std::nullopt;
  e.host = std::string(host);
  return e;
}

}  // namespace corvel::net
