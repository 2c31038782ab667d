// Pictures of the desktop interface for people to look at: the panel with devices connected, each
// settings pane and the approval question, as PNG files in the folder given (build/screenshots).
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include <QApplication>
#include <QPixmap>
#include <QTabWidget>

#include "Ambrel_Host/shell/SessionHistory.h"
#include "Ambrel_Host/ui/DesktopShell.h"
#include "Ambrel_Host/ui/HostModel.h"
#include "CorvelKit/protocol/ChatMessage.h"
#include "tests/support/HostRig.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace {

using namespace ambrel;
using namespace ambrel::test;

bool save(QWidget& widget, const std::filesystem::path& file) {
  widget.adjustSize();
  QApplication::processEvents();
  const bool ok = widget.grab().save(QString::fromStdString(file.string()), "PNG");
  std::cout << (ok ? "wrote " : "couldn't write ") << file.string() << std::endl;
  return ok;
}

int run(const std::filesystem::path& folder) {
  corvel::test::TemporaryFolder historyFolder;
  auto history = std::make_shared<SessionHistory>(historyFolder.path() / "SessionHistory.json",
                                                  corvel::Clock::system());
  HostRig rig(HostRig::Options{}, nullptr, history);
  HostModel model(rig.host, rig.io.get_executor(), history);
  DesktopShell::Options shellOptions;
  shellOptions.withoutTray = true;
  DesktopShell shell(model, std::move(shellOptions));
  auto pump = [&] {
    for (int i = 0; i < 10; ++i) {
      rig.settle();
      QApplication::processEvents();
    }
  };

  // A session in control, one view-only, a chat, a support session and some history.
  (void)rig.host->set(Setting::askBeforeConnecting, false);
  auto phone = rig.join("Ana's iPhone", "AAAA 1111 AAAA 1111 AAAA 1111 AAAA 1111");
  auto pad = rig.join("Studio iPad");
  rig.host->setCanControl(pad.client, false);
  corvel::protocol::ChatMessage hello{corvel::UUID::random(), "Can you see the slides?", "", {}};
  phone.connection->deliverJSON(corvel::protocol::MessageType::chat, hello);
  (void)rig.host->chatLog().sendChat("Yes, all good.");
  rig.host->admission().trustDevice({"BBBB 2222 BBBB 2222 BBBB 2222 BBBB 2222", "Work Laptop", {}});
  rig.host->admission().recordWrongCode("192.168.1.77");
  rig.host->startSupport();
  pump();

  bool ok = true;
  shell.showPanel();
  pump();
  ok &= save(shell.panel(), folder / "panel.png");

  auto& settings = shell.settings();
  settings.show();
  auto* tabs = settings.tabs();
  for (int i = 0; i < tabs->count(); ++i) {
    tabs->setCurrentIndex(i);
    pump();
    ok &= save(settings, folder / ("settings-" + tabs->tabText(i).toLower().toStdString() + ".png"));
  }

  (void)rig.host->set(Setting::askBeforeConnecting, true);
  auto asking = rig.join("Guest MacBook", "CCCC 3333 CCCC 3333 CCCC 3333 CCCC 3333");
  pump();
  if (auto* dialog = shell.approval()) {
    ok &= save(*dialog, folder / "approval.png");
  } else {
    std::cerr << "no approval question came up" << std::endl;
    ok = false;
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path folder = argc > 1 ? argv[1] : "screenshots";
  std::filesystem::create_directories(folder);
  // A display of its own, so the pictures look the same wherever they are made.
  corvel::test::XvfbServer xvfb("1600x1200x24");
  if (!xvfb.isRunning()) {
    std::cerr << "no Xvfb: " << xvfb.errors() << std::endl;
    return 1;
  }
  ::setenv("DISPLAY", xvfb.displayName().c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  QApplication app(argc, argv);
  return run(folder);
}
