#pragma once

#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "Ambrel_Host/capture/ScreenDisplay.h"
#include "CorvelKit/base/Expected.h"

namespace ambrel {

// The host's displays and word of their changes.
class DisplaySource {
 public:
  virtual ~DisplaySource() = default;

  // The displays in the server's order; exactly one is the main display.
  [[nodiscard]] virtual corvel::Expected<std::vector<ScreenDisplay>, std::error_code> displays() = 0;

  // `handler` is called, on a thread of the source's own, after each change of the screen's
  // configuration (monitors added, removed, moved, resized). Changes come in bursts: the owner
  // debounces them. Replaces the earlier handler; an empty one stops the calls, and once this
  // returns no earlier handler is still running (from the handler itself, it does not wait for the
  // call it is made from). The handler runs without any lock of the source held.
  virtual void setChangeHandler(std::function<void()> handler) = 0;

  // The X server `displayName` (empty: $DISPLAY).
  [[nodiscard]] static corvel::Expected<std::unique_ptr<DisplaySource>, std::error_code> create(
      const std::string& displayName);
};

}  // namespace ambrel
