#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <QImage>
#include <QWidget>

#include "Ambrel_Host/controller/ShareWindows.h"

namespace ambrel {

// The screen a device shares with this computer: its pictures turned as the sharer says, fitted
// into the window at their own aspect ratio on black. Closing it tells `closed` (unless the host
// closed it).
class ScreenShareWindow final : public QWidget {
 public:
  // The size before the first picture: a phone's screen, upright.
  static constexpr int initialWidth = 390;
  static constexpr int initialHeight = 844;

  ScreenShareWindow(const QString& title, std::function<void()> closed);

  void setPicture(std::shared_ptr<const SharedPicture> picture);
  void setOrientation(std::uint32_t orientation);
  // Closes without telling `closed`: the sharer left.
  void closeFromHost();

  std::uint32_t orientation() const { return orientation_; }
  QSize videoSize() const { return videoSize_; }
  // The turn for an orientation, in degrees clockwise on screen.
  static int rotation(std::uint32_t orientation);
  static bool isQuarterTurn(std::uint32_t orientation);
  // Width over height of what is shown, once a picture came; 0 before.
  double aspectRatio() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void fitWindowToPicture();

  std::function<void()> closed_;
  std::shared_ptr<const SharedPicture> picture_;
  QSize videoSize_{1170, 2532};
  std::uint32_t orientation_ = 1;
  bool closingFromHost_ = false;
};

}  // namespace ambrel
