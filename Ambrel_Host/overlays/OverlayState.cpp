#include "Ambrel_Host/overlays/OverlayState.h"

namespace ambrel {

std::string OverlayState::pillText(const std::vector<std::string>& names, bool isSupport) {
  std::string joined;
  for (const auto& name : names) {
    if (!joined.empty()) joined += ", ";
    joined += name;
  }
  return isSupport ? "Support session · " + joined : joined + " is controlling this computer";
}

}  // namespace ambrel
