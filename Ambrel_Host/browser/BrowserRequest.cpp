#include "Ambrel_Host/browser/BrowserRequest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "Ambrel_Host/browser/HttpRequestHead.h"
#include "CorvelKit/base/Base64.h"
#include "CorvelKit/security/AccessCode.h"

namespace ambrel {

namespace {

constexpr std::string_view kWebSocketGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool sameCode(std::string_view given, std::string_view expected) {
  return given.size() == expected.size() &&
         CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
}

std::string lowerASCII(std::string_view s) {
  std::string out(s);
  for (auto& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

BrowserRequest BrowserRequest::route(const HttpRequestHead& head, std::string_view normalizedCode) {
  auto status = [](std::string_view text) { return BrowserRequest{Kind::status, std::string(text), {}}; };
  if (!head.isGet()) return status(methodNotAllowed);
  if (head.path == "/ws") {
    const auto code = corvel::security::AccessCode::normalize(codeParameter(head.query()));
    if (normalizedCode.empty() || !sameCode(code, normalizedCode)) return status(forbidden);
    const auto* upgrade = head.header("upgrade");
    const auto* key = head.header("sec-websocket-key");
    if (upgrade == nullptr || lowerASCII(*upgrade) != "websocket" || key == nullptr) {
      return status(badRequest);
    }
    return BrowserRequest{Kind::upgrade, {}, acceptValue(*key)};
  }
  if (head.path == "/" || head.path == "/index.html") return BrowserRequest{Kind::page, {}, {}};
  return status(notFound);
}

std::string BrowserRequest::codeParameter(std::string_view query) {
  std::size_t start = 0;
  while (start <= query.size()) {
    auto end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const auto piece = query.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    const auto equals = piece.find('=');
    if (piece.substr(0, equals) != "code") continue;
    if (equals == std::string_view::npos) return {};
    const auto raw = piece.substr(equals + 1);
    auto decoded = percentDecode(raw);
    return decoded ? std::move(*decoded) : std::string(raw);
  }
  return {};
}

std::optional<std::string> BrowserRequest::percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = hexDigit(text[i + 1]);
    const int lo = hexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  // The decoded bytes must be text.
  if (!HttpRequestHead::parse(out)) return std::nullopt;
  return out;
}

std::string BrowserRequest::acceptValue(std::string_view key) {
  std::string input(key);
  input += kWebSocketGUID;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr) != 1) return {};
  return corvel::Base64::encode(corvel::ByteView(digest, length));
}

std::string BrowserRequest::statusResponse(std::string_view status) {
  std::string out = "HTTP/1.1 ";
  out += status;
  out += "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  return out;
}

std::string BrowserRequest::pageHead(std::size_t bodyLength) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
         std::to_string(bodyLength) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
}

std::string BrowserRequest::upgradeResponse(std::string_view accept) {
  std::string out =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: ";
  out += accept;
  out += "\r\n\r\n";
  return out;
}

}  // namespace ambrel
