#include "Ambrel_Host/wayland/WaylandDesktopSwitch.h"

#include <cstdlib>
#include <string_view>

#include "Ambrel_Host/wayland/WlrootsDesktop.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

// The shared source, seen through a source of the caller's own.
class SharedDisplaySource final : public DisplaySource {
 public:
  explicit SharedDisplaySource(std::shared_ptr<DisplaySource> source) : source_(std::move(source)) {}
  ~SharedDisplaySource() override { source_->setChangeHandler(nullptr); }
  corvel::Expected<std::vector<ScreenDisplay>, std::error_code> displays() override { return source_->displays(); }
  void setChangeHandler(std::function<void()> handler) override { source_->setChangeHandler(std::move(handler)); }

 private:
  std::shared_ptr<DisplaySource> source_;
};

}  // namespace

const DesktopBackend* WaylandDesktopSwitch::chosen() {
  // Kept until the process ends: its threads are never joined from a static destructor.
  static const DesktopBackend* const backend = []() -> const DesktopBackend* {
    const char* asked = std::getenv("AMBREL_DESKTOP");
    if (asked == nullptr || std::string_view(asked) != "wlroots") return nullptr;
    const char* display = std::getenv("WAYLAND_DISPLAY");
    auto opened = WlrootsDesktop::open(display != nullptr ? display : "");
    if (!opened) {
      corvel::Log::host("video").error("the wlroots desktop can't be used: {}", opened.error());
      return nullptr;
    }
    corvel::Log::host("video").info("desktop: {} ({})", opened->name, opened->reason);
    return new DesktopBackend(std::move(*opened));
  }();
  return backend;
}

std::unique_ptr<DisplaySource> WaylandDesktopSwitch::displaySource() {
  const auto* backend = chosen();
  if (backend == nullptr || !backend->displays) return nullptr;
  return std::make_unique<SharedDisplaySource>(backend->displays);
}

}  // namespace ambrel
