#include "Ambrel_Host/shell/HostVersion.h"

namespace ambrel {

std::string_view hostVersion() { return "0.1.0"; }

}  // namespace ambrel
