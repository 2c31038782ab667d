#pragma once

#include <cstdint>
#include <optional>

#include "Ambrel_Host/capture/VideoTarget.h"

namespace ambrel {

// A viewer as the display streams see it: somewhere to send video, plus the few facts that decide
// which pipelines run and with which codec.
class StreamViewer : public VideoTarget {
 public:
  struct Description {
    bool watching = false;                 // admitted and watching (not only sharing its screen)
    std::uint32_t displayID = 0;           // the display it watches
    std::optional<bool> supportsHEVC;      // what its hello said, if anything
    bool supportsHDR = false;
  };

  // A consistent snapshot; may be called from any thread.
  virtual Description describe() const = 0;
};

}  // namespace ambrel
