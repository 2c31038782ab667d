#include "Ambrel_Host/ui/PicturePane.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "Ambrel_Host/ui/HostModel.h"
#include "Ambrel_Host/ui/ViewText.h"

namespace ambrel {

namespace {
QString qualityTitle(StreamQuality q) {
  switch (q) {
    case StreamQuality::smooth: return "Smooth";
    case StreamQuality::balanced: return "Balanced";
    case StreamQuality::sharp: return "Sharp";
  }
  return "Balanced";
}
}  // namespace

PicturePane::PicturePane(HostModel& model, QWidget* parent)
    : SettingsPane(model, parent), quality_(new QComboBox(this)), hdrState_(view::note("", this)) {
  setObjectName("picture");
  quality_->setObjectName("quality");
  for (auto q : {StreamQuality::smooth, StreamQuality::balanced, StreamQuality::sharp}) {
    quality_->addItem(qualityTitle(q), static_cast<int>(q));
  }
  connect(quality_, &QComboBox::activated, this, [this](int index) {
    model_.set(Setting::quality, static_cast<StreamQuality>(quality_->itemData(index).toInt()));
  });
  auto* quality = new QWidget(this);
  auto* qualityColumn = new QVBoxLayout(quality);
  qualityColumn->setContentsMargins(0, 0, 0, 0);
  qualityColumn->addWidget(quality_);
  qualityColumn->addWidget(view::note("Smooth favours a faster picture, Sharp favours a crisper one. Either "
                                      "way this computer uses its video hardware where it has any.",
                                      quality));
  form()->addRow("Quality", quality);
  form()->addRow("", flagSwitch("Smoother motion", Setting::highFrameRate));
  form()->addRow("", flagSwitch("Sharper text and detail", Setting::preferHEVC));
  auto* hdr = new QWidget(this);
  auto* hdrColumn = new QVBoxLayout(hdr);
  hdrColumn->setContentsMargins(0, 0, 0, 0);
  hdrColumn->addWidget(flagSwitch("High dynamic range", Setting::preferHDR));
  hdrColumn->addWidget(view::note("Full brightness and colour for HDR displays. Experimental.", hdr));
  hdrState_->setObjectName("hdrState");
  hdrColumn->addWidget(hdrState_);
  form()->addRow("", hdr);
  startListening();
}

void PicturePane::refresh() {
  const auto& s = model_.snapshot();
  const auto value = s.value(Setting::quality);
  const auto* q = std::get_if<StreamQuality>(&value);
  {
    QSignalBlocker quiet(quality_);
    quality_->setCurrentIndex(quality_->findData(static_cast<int>(q ? *q : StreamQuality::balanced)));
  }
  // This display server has no HDR output, so a session never runs in HDR here.
  if (!s.flag(Setting::preferHDR)) {
    hdrState_->setText("Off");
  } else if (s.isStreaming) {
    hdrState_->setText("Needs sharper text and an HDR device");
  } else {
    hdrState_->setText("");
  }
}

}  // namespace ambrel
