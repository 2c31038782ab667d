#include "Ambrel_Host/controller/SettingsApplier.h"

#include "Ambrel_Host/controller/AccessSecrets.h"
#include "Ambrel_Host/controller/HostContext.h"

namespace ambrel {

void SettingsApplier::apply(Setting setting) {
  auto& settings = context_.settings;
  auto& services = context_.services;
  switch (SettingsTable::spec(setting).effect) {
    case SettingEffect::none:
      break;
    case SettingEffect::refreshOverlays:
      context_.refreshOverlays();
      break;
    case SettingEffect::browserServer:
      if (settings.flag(Setting::browserAccess)) {
        services.browser->start(secrets_.accessCode());
      } else {
        services.browser->stop();
      }
      break;
    case SettingEffect::streamPreset: {
      const auto p = preset(settings.quality());
      services.streams->setPreset(p.maxWidth, p.bitrate,
                                  frameRate(settings.flag(Setting::highFrameRate)));
      break;
    }
    case SettingEffect::codecPreferences:
      services.streams->setCodecPreferences(settings.flag(Setting::preferHEVC),
                                            settings.flag(Setting::preferHDR));
      break;
    case SettingEffect::sound:
      services.streams->setShareSound(settings.flag(Setting::shareSound));
      break;
  }
}

void SettingsApplier::applyStreamSettings() {
  apply(Setting::quality);
  apply(Setting::preferHEVC);
  apply(Setting::shareSound);
}

}  // namespace ambrel
