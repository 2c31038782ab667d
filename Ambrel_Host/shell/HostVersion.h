#pragma once

#include <string_view>

namespace ambrel {

// The host's version, as logs and the update check report it.
std::string_view hostVersion();

}  // namespace ambrel
