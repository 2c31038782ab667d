#include "Ambrel_Host/shell/UpdateStatus.h"

namespace ambrel {

std::string UpdateStatus::summary() const {
  switch (kind) {
    case Kind::idle:
      return {};
    case Kind::checking:
      return "Checking…";
    case Kind::upToDate:
      return "Up to date";
    case Kind::available:
      return "Version " + text + " available";
    case Kind::failed:
      return "Check failed";
  }
  return {};
}

}  // namespace ambrel
