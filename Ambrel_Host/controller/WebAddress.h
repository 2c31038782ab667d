#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ambrel {

// Turns what a person typed into a web address that is safe to hand to the desktop's handler.
struct WebAddress {
  // Text without "://" gets "https://" in front. The result must be a well-formed address
  // (only characters an address may hold, valid %-escapes), with the scheme http or https in
  // any case and a host. Anything else (file:, javascript:, spaces, ...) gives nothing.
  [[nodiscard]] static std::optional<std::string> normalize(std::string_view text);
};

}  // namespace ambrel
