#include "Ambrel_Host/controller/StreamingStatus.h"

#include "Ambrel_Host/controller/AwakeAssertion.h"
#include "Ambrel_Host/controller/HostObservers.h"

namespace ambrel {

void StreamingStatus::update(bool streaming) {
  if (streaming) setLastError(std::nullopt);
  if (!observers_.assign(isStreaming_, streaming, HostProperty::isStreaming)) return;
  if (!keepAwake_) return;
  if (streaming) {
    keepAwake_->begin();
  } else {
    keepAwake_->end();
  }
}

void StreamingStatus::setLastError(std::optional<std::string> error) {
  observers_.assign(lastError_, std::move(error), HostProperty::lastError);
}

}  // namespace ambrel
