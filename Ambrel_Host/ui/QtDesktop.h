#pragma once

#include <memory>

#include "Ambrel_Host/shell/Desktop.h"

namespace ambrel {

// The desktop interface in Qt Widgets: makes the application object on the calling thread and
// the tray, panel, settings and approval question over a HostModel.
std::unique_ptr<Desktop> makeQtDesktop(Desktop::Parts parts);

}  // namespace ambrel
