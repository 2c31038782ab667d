#pragma once

#include <array>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

namespace mac_command {

struct OpenApp {
  std::string name;  // application name
  friend bool operator==(const OpenApp&, const OpenApp&) = default;
};
struct OpenURL {
  std::string url;  // the address as text; unlabelled ("_0") on the wire
  friend bool operator==(const OpenURL&, const OpenURL&) = default;
};
struct RunShortcut {
  std::string name;  // shortcut name
  friend bool operator==(const RunShortcut&, const RunShortcut&) = default;
};

}  // namespace mac_command

// A command a client asks the host machine to run. JSON: an object with one key, the case name.
//
//   {"openApp": {"name": "Calculator"}}   {"openURL": {"_0": "https://example.com"}}
struct MacCommand
    : std::variant<mac_command::OpenApp, mac_command::OpenURL, mac_command::RunShortcut> {
  using OpenApp = mac_command::OpenApp;
  using OpenURL = mac_command::OpenURL;
  using RunShortcut = mac_command::RunShortcut;

  using variant::variant;

  static constexpr std::array<std::string_view, 3> caseNames = {"openApp", "openURL", "runShortcut"};
  std::string_view caseName() const { return caseNames[index()]; }
};

void encodeJSON(nlohmann::json& out, const MacCommand& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, MacCommand& out, DecodingError& error);

}  // namespace corvel::protocol
