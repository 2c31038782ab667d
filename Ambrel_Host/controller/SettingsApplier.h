#pragma once

#include "Ambrel_Host/controller/SettingsTable.h"

namespace ambrel {

class AccessSecrets;
struct HostContext;

// Carries out what a change of a setting does at once (the table's effect column) on the
// services. Controller's executor only.
class SettingsApplier {
 public:
  SettingsApplier(HostContext& context, AccessSecrets& secrets)
      : context_(context), secrets_(secrets) {}

  void apply(Setting setting);
  // The stored picture and codec settings, at start-up.
  void applyStreamSettings();

 private:
  HostContext& context_;
  AccessSecrets& secrets_;
};

}  // namespace ambrel
