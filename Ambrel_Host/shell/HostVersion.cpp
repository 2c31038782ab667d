#include "Ambrel_Host/shell/HostVersion.h"

#ifndef AMBREL_BUILD_NUMBER
#define AMBREL_BUILD_NUMBER "1"
#endif

namespace ambrel {

std::string_view hostVersion() { return "0.1.0"; }

std::string_view hostBuild() { return AMBREL_BUILD_NUMBER; }

}  // namespace ambrel
