#include "Ambrel_Host/ui/AboutPane.h"

#include <QFormLayout>
#include <QLabel>

#include "Ambrel_Host/shell/HostVersion.h"
#include "Ambrel_Host/ui/ViewText.h"

namespace ambrel {

AboutPane::AboutPane(QWidget* parent) : QWidget(parent) {
  setObjectName("about");
  auto* form = new QFormLayout(this);
  auto* version = new QLabel(view::text(std::string(hostVersion())), this);
  version->setObjectName("version");
  form->addRow("Version", version);
  form->addRow("Made for", new QLabel("Mac, iPhone, iPad, Apple Watch, Apple TV and Vision Pro", this));
  form->addRow("Privacy", view::note("Ambrel connects your devices directly. There are no Ambrel servers and "
                                     "no account: sessions stay between your devices, and your cloud "
                                     "database only stores where to find your computers.",
                                     this));
}

}  // namespace ambrel
