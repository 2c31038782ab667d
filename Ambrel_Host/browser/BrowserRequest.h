#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Ambrel_Host/browser/HttpRequestHead.h"

namespace ambrel {

// What the browser server answers to one request head, and the bytes of those answers. Pure: the
// server does the sending.
struct BrowserRequest {
  enum class Kind {
    status,   // a status line and nothing else, then the connection closes
    page,     // the viewer page
    upgrade,  // 101 Switching Protocols: the connection becomes a WebSocket viewer
  };

  static constexpr std::string_view badRequest = "400 Bad Request";
  static constexpr std::string_view forbidden = "403 Forbidden";
  static constexpr std::string_view notFound = "404 Not Found";
  static constexpr std::string_view methodNotAllowed = "405 Method Not Allowed";
  static constexpr std::string_view internalError = "500 Internal Server Error";

  Kind kind = Kind::status;
  std::string status;  // Kind::status: the status text ("404 Not Found")
  std::string accept;  // Kind::upgrade: the Sec-WebSocket-Accept value

  // `normalizedCode` is the access code in normalised form; empty refuses every upgrade.
  static BrowserRequest route(const HttpRequestHead& head, std::string_view normalizedCode);

  // The "code" parameter of a query, percent-decoded when that works (kept as it is when not);
  // empty when there is none.
  static std::string codeParameter(std::string_view query);
  // RFC 3986 percent-decoding; nothing on a malformed escape or when the result is not UTF-8.
  static std::optional<std::string> percentDecode(std::string_view text);
  // Base64 of SHA-1 of the key and the WebSocket GUID (RFC 6455).
  static std::string acceptValue(std::string_view key);

  static std::string statusResponse(std::string_view status);
  // The response head of the page; the body follows it.
  static std::string pageHead(std::size_t bodyLength);
  static std::string upgradeResponse(std::string_view accept);
};

}  // namespace ambrel
