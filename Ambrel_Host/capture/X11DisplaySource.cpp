#include "Ambrel_Host/capture/X11DisplaySource.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cerrno>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/capture/XcbHandles.h"
#include "Ambrel_Host/wayland/WaylandDesktopSwitch.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

corvel::Expected<std::unique_ptr<DisplaySource>, std::error_code> DisplaySource::create(
    const std::string& displayName) {
  if (WaylandDesktopSwitch::chosen() != nullptr) return WaylandDesktopSwitch::displaySource();
  auto source = X11DisplaySource::open(displayName);
  if (!source) return corvel::Unexpected{source.error()};
  return std::unique_ptr<DisplaySource>(std::move(*source));
}

corvel::Expected<std::unique_ptr<X11DisplaySource>, std::error_code> X11DisplaySource::open(
    const std::string& displayName) {
  auto screen = connectToX(displayName);
  if (!screen) return corvel::Unexpected{screen.error()};
  auto* c = screen->connection.get();
  xcb_randr_select_input(c, screen->root,
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  xcb_flush(c);
  return std::unique_ptr<X11DisplaySource>(
      new X11DisplaySource(std::make_unique<XcbScreen>(std::move(*screen))));
}

X11DisplaySource::X11DisplaySource(std::unique_ptr<XcbScreen> screen)
    : screen_(std::move(screen)), wake_(::eventfd(0, EFD_CLOEXEC)) {
  watcher_ = std::thread([this] { watch(); });
}

X11DisplaySource::~X11DisplaySource() {
  const std::uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof one) < 0) {
    corvel::Log::host("video").error("couldn't wake the display watcher: {}", std::strerror(errno));
  }
  if (watcher_.joinable()) watcher_.join();
}

corvel::Expected<std::vector<ScreenDisplay>, std::error_code> X11DisplaySource::displays() {
  return readMonitors(screen_->connection.get(), screen_->root);
}

void X11DisplaySource::setChangeHandler(std::function<void()> handler) {
  auto next = handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
  std::unique_lock lock(handlerMutex_);
  handler_.swap(next);
  // A call of the earlier handler still under way ends first (not awaited from the handler).
  if (std::this_thread::get_id() != watcher_.get_id()) {
    handlerIdle_.wait(lock, [&] { return !calling_; });
  }
}

void X11DisplaySource::watch() {
  xcb_connection_t* c = screen_->connection.get();
  const std::uint8_t firstEvent = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
  // Monitors added or removed by hand (RandR's SetMonitor and DeleteMonitor) come without any
  // event, so the list is also compared once a second.
  auto last = readMonitors(c, screen_->root);
  std::vector<ScreenDisplay> known = last ? *last : std::vector<ScreenDisplay>{};
  bool recheck = false;
  for (;;) {
    bool changed = false;
    while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
      const int type = event->response_type & 0x7F;
      if (type == firstEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == firstEvent + XCB_RANDR_NOTIFY) {
        changed = true;
      }
    }
    if (xcb_connection_has_error(c) != 0) {
      corvel::Log::host("video").error("the display server closed the connection; no more display changes");
      return;
    }
    if (changed || recheck) {
      auto now = readMonitors(c, screen_->root);
      if (now && *now != known) {
        known = std::move(*now);
        changed = true;
      }
    }
    if (changed) {
      std::shared_ptr<const std::function<void()>> handler;
      {
        std::lock_guard lock(handlerMutex_);
        handler = handler_;
        calling_ = handler != nullptr;
      }
      if (handler) {
        (*handler)();
        handler.reset();  // a replaced handler goes before its replacer returns
        std::lock_guard lock(handlerMutex_);
        calling_ = false;
        handlerIdle_.notify_all();
      }
    }
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, 1000);
    if (ready < 0 && errno != EINTR) return;
    if ((fds[1].revents & POLLIN) != 0) return;
    recheck = ready == 0;
  }
}

}  // namespace ambrel
