#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CorvelKit/base/UUID.h"

namespace ambrel {

// One decoded picture of a shared screen, 32-bit pixels in memory order B, G, R, X.
struct SharedPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;  // width × height × 4
};

// The windows that show the screens devices share with this computer, one per device, made and
// closed by the host (ScreenShares). Any thread may call.
class ShareWindows {
 public:
  // The person closed the window of that device.
  using Closed = std::function<void(const corvel::UUID& clientID)>;

  virtual ~ShareWindows() = default;
  virtual void open(const corvel::UUID& clientID, const std::string& title, Closed closed) = 0;
  // The turn of the sharer's picture, as image orientations number it (1 up, 3 down, 6 right, 8
  // left, 2, 4, 5 and 7 their mirror images).
  virtual void setOrientation(const corvel::UUID& clientID, std::uint32_t orientation) = 0;
  virtual void show(const corvel::UUID& clientID, std::shared_ptr<const SharedPicture> picture) = 0;
  virtual void close(const corvel::UUID& clientID) = 0;
};

}  // namespace ambrel
