#include "Ambrel_Host/ui/QtDesktop.h"

#include <QApplication>
#include <QMetaObject>
#include <xcb/xcb.h>

#include <boost/asio/post.hpp>

#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/overlays/HostOverlays.h"
#include "Ambrel_Host/ui/DesktopShell.h"
#include "Ambrel_Host/ui/HostModel.h"
#include "Ambrel_Host/ui/OverlayWidgets.h"
#include "Ambrel_Host/ui/ShareWindowSet.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

auto& log() { return corvel::Log::host("ui"); }

class QtDesktop final : public Desktop {
 public:
  QtDesktop(std::unique_ptr<QApplication> app, Parts parts)
      : app_(std::move(app)),
        model_(parts.host, parts.executor, parts.history, parts.updates),
        shell_(model_, DesktopShell::Options{std::move(parts.quit), {}, {}, {}, {}, false}),
        overlayWidgets_([this] { model_.perform([](HostController& host) { host.stopFromComputer(); }); }) {
    model_.perform([windows = shareWindows_.windows()](HostController& host) {
      host.screenShares().setWindows(windows);
    });
    if (parts.overlays) {
      boost::asio::post(parts.executor, [overlays = parts.overlays, windows = overlayWidgets_.windows()] {
        overlays->setWindows(windows);
      });
    }
    // Closing the settings window or the panel never ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    if (!shell_.hasTray()) {
      log().info("no system tray on this desktop; showing the panel as a window");
      shell_.showPanel();
    }
  }

  int run() override { return QApplication::exec(); }

  void stop() override {
    QMetaObject::invokeMethod(app_.get(), [] { QApplication::quit(); }, Qt::QueuedConnection);
  }

  void present() override {
    QMetaObject::invokeMethod(app_.get(), [this] { shell_.showPanel(); }, Qt::QueuedConnection);
  }

 private:
  std::unique_ptr<QApplication> app_;
  HostModel model_;
  DesktopShell shell_;
  OverlayWidgets overlayWidgets_;
  ShareWindowSet shareWindows_;
};

bool canReachDisplay() {
  if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return true;
  if (qEnvironmentVariableIsEmpty("DISPLAY")) return false;
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(xcb_connect(nullptr, nullptr),
                                                                           &xcb_disconnect);
  return connection && xcb_connection_has_error(connection.get()) == 0;
}

// QApplication keeps references to these for its whole life.
int gArgc = 1;
char gProgramName[] = "ambrel-host";
char* gArgv[] = {gProgramName, nullptr};

}  // namespace

std::unique_ptr<Desktop> makeQtDesktop(Desktop::Parts parts) {
  // Qt ends the process when it can't reach the display: make sure it can first.
  if (!canReachDisplay()) return nullptr;
  auto app = std::make_unique<QApplication>(gArgc, gArgv);
  QApplication::setApplicationName("Ambrel Host");
  QApplication::setDesktopFileName("ambrel-host");
  return std::make_unique<QtDesktop>(std::move(app), std::move(parts));
}

}  // namespace ambrel
