// The broadcast target and the widget's list are read from a settings file that other programs
// write: any bytes must decode or be refused, and what decodes must survive a round trip.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "CorvelKit/extensions/BroadcastTarget.h"
#include "CorvelKit/extensions/WidgetMac.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  corvel::ByteView bytes(data, size);
  using corvel::extensions::BroadcastTarget;
  using corvel::extensions::WidgetMac;
  if (auto target = BroadcastTarget::decode(bytes)) {
    auto again = BroadcastTarget::decode(target->encoded());
    // Text that isn't UTF-8 is written with replacement characters, so only valid text must match.
    if (!again) std::abort();
  }
  if (auto macs = WidgetMac::decode(bytes)) {
    auto again = WidgetMac::decode(WidgetMac::encode(*macs));
    if (!again || again->size() != macs->size()) std::abort();
    for (const auto& mac : *macs) (void)mac.connectURL();
  }
  return 0;
}
