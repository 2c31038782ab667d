#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvel::net {

// Everything a client needs to reach a host, as one short link:
//   corvel://pair?name=Studio&code=ABC-DEF-GHJ-KLM&port=5895[&host=studio.example]
struct PairingInfo {
  std::string name;                 // never empty in a parsed record
  std::optional<std::string> host;  // absent when the link names none
  std::uint16_t port = 5895;
  std::string code;                 // display form

  friend bool operator==(const PairingInfo&, const PairingInfo&) = default;
};

struct Pairing {
  static constexpr std::string_view scheme = "corvel";
  static constexpr std::string_view action = "pair";

  // The link: query items name, code, port, then host when there is one; values percent-encoded.
  static std::string url(const PairingInfo& info);
  // Reads a link (leading and trailing whitespace ignored). Never throws; nothing on any fault.
  static std::optional<PairingInfo> parse(std::string_view text);
};

}  // namespace corvel::net
