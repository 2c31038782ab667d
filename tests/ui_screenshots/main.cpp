// Pictures of the desktop interface for people to look at: the panel with devices connected, each
// settings pane and the approval question, as PNG files in the folder given (build/screenshots).
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include <QApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QTest>

#include "Ambrel_Host/shell/SessionHistory.h"
#include "Ambrel_Host/ui/DesktopShell.h"
#include "Ambrel_Host/ui/HostModel.h"
#include "Ambrel_Host/ui/OverlayWidgets.h"
#include "Ambrel_Host/ui/ScreenShareWindow.h"
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

// Something to draw over: a window standing for the desktop.
class FakeDesktop final : public QWidget {
 public:
  FakeDesktop() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint) {
    setGeometry(0, 0, 800, 500);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, QColor(70, 110, 160));
    g.setColorAt(1, QColor(150, 180, 210));
    p.fillRect(rect(), g);
    p.fillRect(QRect(120, 110, 420, 260), QColor(245, 245, 245));
    p.setPen(Qt::darkGray);
    p.drawText(QRect(140, 130, 380, 30), "Quarterly report.txt — Editor");
  }
};

bool overlays(const std::filesystem::path& folder) {
  FakeDesktop desktop;
  desktop.show();
  OverlayWidgets widgets([] {});
  const ambrel::DisplayBounds display{0, 0, 800, 500};
  widgets.showControl(display, OverlayState::pillText({"Ana's iPhone", "Studio iPad"}, false), false);
  using corvel::protocol::AnnotationStroke;
  widgets.showAnnotations(display, {
      AnnotationStroke{corvel::UUID::random(), {0.2f, 0.3f, 0.35f, 0.25f, 0.5f, 0.32f, 0.62f, 0.28f}, {1, 0.2f, 0.2f, 1}, 0.008f},
      AnnotationStroke{corvel::UUID::random(), {0.6f, 0.6f, 0.7f, 0.75f, 0.8f, 0.6f}, {0.2f, 0.5f, 1, 1}, 0.012f},
  });
  for (int i = 0; i < 20; ++i) {
    QApplication::processEvents();
    QTest::qWait(20);
  }
  const auto picture = QGuiApplication::primaryScreen()->grabWindow(0, 0, 0, 800, 500);
  const auto file = folder / "overlays.png";
  const bool ok = picture.save(QString::fromStdString(file.string()), "PNG");
  std::cout << (ok ? "wrote " : "couldn't write ") << file.string() << std::endl;
  widgets.hideControl();
  widgets.hideAnnotations();
  return ok;
}

bool shareWindow(const std::filesystem::path& folder) {
  // A phone's screen: a header, a list and a button.
  auto picture = std::make_shared<SharedPicture>();
  picture->width = 390;
  picture->height = 844;
  QImage image(picture->width, picture->height, QImage::Format_RGB32);
  image.fill(QColor(250, 250, 250));
  {
    QPainter p(&image);
    p.fillRect(0, 0, 390, 120, QColor(40, 120, 220));
    p.setPen(Qt::white);
    auto font = p.font();
    font.setPointSize(20);
    p.setFont(font);
    p.drawText(QRect(20, 50, 350, 50), "Photos");
    for (int i = 0; i < 6; ++i) p.fillRect(20 + (i % 3) * 120, 150 + (i / 3) * 120, 110, 110, QColor::fromHsv(i * 50, 120, 220));
    p.fillRect(95, 740, 200, 50, QColor(40, 120, 220));
  }
  picture->pixels.assign(image.constBits(), image.constBits() + image.sizeInBytes());
  ScreenShareWindow window("Ana's iPhone's Screen", nullptr);
  window.setPicture(picture);
  window.resize(ScreenShareWindow::initialWidth / 2 * 2, ScreenShareWindow::initialHeight);
  window.show();
  QApplication::processEvents();
  const auto file = folder / "share-window.png";
  const bool ok = window.grab().save(QString::fromStdString(file.string()), "PNG");
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
  if (auto* dialog = shell.approval()) dialog->hide();
  shell.panel().hide();
  settings.hide();
  ok &= overlays(folder);
  ok &= shareWindow(folder);
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
