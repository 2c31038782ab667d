#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Ambrel_Host/controller/ApprovalQueue.h"
#include "Ambrel_Host/controller/ClientRegistry.h"
#include "Ambrel_Host/controller/DisplayLayout.h"
#include "Ambrel_Host/controller/HostObservers.h"
#include "Ambrel_Host/controller/HostServices.h"
#include "Ambrel_Host/controller/HostSettings.h"
#include "Ambrel_Host/controller/StreamingStatus.h"
#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/Executors.h"

namespace ambrel {

class Notifier;

// What the host controller's parts share: the executor they all live on, the clock every time
// rule reads, the observable state and the services. Executor only, except `displays.boundsOf`.
struct HostContext {
  HostContext(corvel::Executor executor, std::shared_ptr<corvel::Clock> clock,
              std::shared_ptr<corvel::Defaults> defaults, HostServices services,
              std::shared_ptr<Notifier> notifier, std::string computerName);

  // Posts `work` to the executor; it runs only while the owner lives.
  void post(std::function<void()> work) const;
  // Runs `work` on the executor after `delay` on the clock, while the owner lives; dropping the
  // timer cancels it.
  [[nodiscard]] std::unique_ptr<corvel::Timer> schedule(corvel::Clock::Duration delay,
                                                        std::function<void()> work) const;

  // Lets go of every key and button the injector holds.
  void releaseInput() const;
  // The lock-screen shortcut, after releasing held input.
  void lockScreen() const;
  // Shows the overlays as the sessions stand: the border and pill while a device is in control,
  // the curtain while the setting asks for it and someone watches.
  void refreshOverlays() const;

  const corvel::Executor executor;
  const std::shared_ptr<corvel::Clock> clock;
  HostObservers observers;
  HostSettings settings;
  ClientRegistry clients{observers};
  ApprovalQueue approvals{observers};
  DisplayLayout displays;
  HostServices services;
  StreamingStatus streaming;
  const std::shared_ptr<Notifier> notifier;
  const std::string computerName;
  // The owner of the parts: work posted or scheduled through the context runs only while this
  // lives, so no part is touched after the owner began to go away.
  std::weak_ptr<const void> lifetime;
};

}  // namespace ambrel
