#include "Ambrel_Host/wayland/WlrEventPoster.h"

#include "Ambrel_Host/wayland/WlrVirtualInput.h"

namespace ambrel {

WlrEventPoster::WlrEventPoster(std::shared_ptr<WlrVirtualInput> devices) : devices_(std::move(devices)) {}

bool WlrEventPoster::isAvailable() const { return devices_->isAvailable(); }
DisplayBounds WlrEventPoster::screenBounds() const { return devices_->screenBounds(); }
void WlrEventPoster::moveTo(int x, int y) { devices_->moveTo(x, y); }
void WlrEventPoster::button(int xButton, bool down, int) { devices_->button(xButton, down); }
void WlrEventPoster::key(std::uint32_t keysym, bool down) { devices_->key(keysym, down); }
void WlrEventPoster::typeText(std::u32string_view characters) { devices_->typeText(characters); }
void WlrEventPoster::flush() { devices_->flush(); }

}  // namespace ambrel
