#pragma once

#include <functional>

#include <QDialog>

#include "Ambrel_Host/controller/ClientAdmission.h"
#include "Ambrel_Host/ui/HostSnapshot.h"

namespace ambrel {

// The question for the person at the computer when a device asks to connect: Allow, Always
// Allow This Device or Deny, with the device's name, platform and security ID. Stays above other
// windows until answered.
class ApprovalDialog final : public QDialog {
 public:
  using Answer = std::function<void(ApprovalAnswer)>;

  ApprovalDialog(const ClientRow& client, Answer answer, QWidget* parent = nullptr);

  const corvel::UUID& clientID() const { return clientID_; }

  static QString title(const ClientRow& client);
  static QString message(const ClientRow& client);

 protected:
  // Escape and the close button don't answer: the question stays until a button is chosen or
  // the device goes away.
  void reject() override {}

 private:
  corvel::UUID clientID_;
};

}  // namespace ambrel
