#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "CorvelKit/base/Bytes.h"

namespace ambrel {

// The head of one HTTP/1.1 request as the browser server reads it: the request line split at
// spaces, the target, its path, and the headers by lower-cased name. Pure functions over bytes:
// nothing here touches a socket.
struct HttpRequestHead {
  // A head that has not ended within this many buffered bytes ends the connection.
  static constexpr std::size_t maxBufferedBytes = 64'000;
  // Reads ask for at most this many bytes at a time.
  static constexpr std::size_t readChunkBytes = 16'384;

  // Where the first "\r\n\r\n" of `buffer` starts, if it holds one.
  static std::optional<std::size_t> findEnd(corvel::ByteView buffer);

  // The head (the bytes before "\r\n\r\n"). Nothing when they are not UTF-8. A malformed request
  // line still parses; `isGet()` then says no.
  static std::optional<HttpRequestHead> parse(std::string_view head);

  // The request line's pieces: at least two, the first "GET" (case-sensitive).
  bool isGet() const { return method == "GET" && !target.empty(); }
  // The target's text after the first "?" (empty when it has none).
  std::string_view query() const;
  // A header by its lower-cased name.
  const std::string* header(std::string_view lowerCaseName) const;

  std::string method;  // first piece of the request line (empty if none)
  std::string target;  // second piece (empty if none)
  std::string path;    // the target up to the first "?"
  // A later header of the same name replaces an earlier one.
  std::map<std::string, std::string, std::less<>> headers;
};

}  // namespace ambrel
