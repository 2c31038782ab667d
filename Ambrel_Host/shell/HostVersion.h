#pragma once

#include <string_view>

namespace ambrel {

// The host's version, as logs and the update check report it.
std::string_view hostVersion();
// The build number the update check compares with the feed's: a decimal number set when the
// program is built (AMBREL_BUILD_NUMBER).
std::string_view hostBuild();

}  // namespace ambrel
