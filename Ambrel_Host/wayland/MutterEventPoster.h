#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Ambrel_Host/input/EventPoster.h"
#include "Ambrel_Host/wayland/MutterMonitor.h"
#include "Ambrel_Host/wayland/SdBusHandles.h"

namespace ambrel {

class MutterDisplaySource;

// Synthetic input on a GNOME (mutter) desktop: a RemoteDesktop session of its own, tied to a
// ScreenCast session that records every monitor (never consumed: absolute pointer motion names a
// stream and takes that stream's coordinates). Keys go by evdev code where the key map knows one,
// by keysym otherwise; text by keysym, which mutter types with the current layout. The calls are
// sent without awaiting replies and go out on flush(). When mutter closes the session (monitors
// changed, say) or the pointer lands on a monitor the session does not record, a new session is
// made. Used from the input injector's queue only.
class MutterEventPoster final : public EventPoster {
 public:
  explicit MutterEventPoster(std::shared_ptr<MutterDisplaySource> displays);
  ~MutterEventPoster() override;

  bool isAvailable() const override { return available_; }
  DisplayBounds screenBounds() const override;
  void moveTo(int x, int y) override;
  void button(int xButton, bool down, int clickCount) override;
  void key(std::uint32_t keysym, bool down) override;
  void typeText(std::u32string_view characters) override;
  bool hasRemappedKeys() const override { return false; }
  void restoreKeyboardMapping() override {}
  void flush() override;

 private:
  bool ensureSession();
  void closeSession();
  void notify(const char* method, const char* signature, ...);
  void keysym(std::uint32_t keysym, bool down);

  std::shared_ptr<MutterDisplaySource> displays_;
  SdBus bus_;
  SdBusSlot closedMatch_;
  std::string sessionPath_;
  std::vector<MutterMonitor> monitors_;
  std::map<std::uint32_t, std::string> streams_;  // display id → stream object path
  bool closed_ = false;  // mutter closed the session
  bool available_ = false;
};

}  // namespace ambrel
