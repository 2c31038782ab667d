#include "Ambrel_Host/controller/HostContext.h"

#include <boost/asio/post.hpp>

#include "Ambrel_Host/controller/Notifier.h"
#include "Ambrel_Host/controller/SystemActions.h"
#include "Ambrel_Host/input/InputInjector.h"

namespace ambrel {

namespace {
std::shared_ptr<Notifier> orLog(std::shared_ptr<Notifier> notifier) {
  if (notifier) return notifier;
  return Notifier::logOnly();
}

HostServices filled(HostServices services) {
  services.fillMissing();
  return services;
}
}  // namespace

HostContext::HostContext(corvel::Executor executor_, std::shared_ptr<corvel::Clock> clock_,
                         std::shared_ptr<corvel::Defaults> defaults, HostServices services_,
                         std::shared_ptr<Notifier> notifier_, std::string computerName_)
    : executor(std::move(executor_)),
      clock(std::move(clock_)),
      settings(std::move(defaults)),
      services(filled(std::move(services_))),
      streaming(observers, services.keepAwake),
      notifier(orLog(std::move(notifier_))),
      computerName(std::move(computerName_)) {}

void HostContext::post(std::function<void()> work) const {
  boost::asio::post(executor, [alive = lifetime, work = std::move(work)] {
    if (auto owner = alive.lock()) work();
  });
}

std::unique_ptr<corvel::Timer> HostContext::schedule(corvel::Clock::Duration delay,
                                                     std::function<void()> work) const {
  return clock->schedule(executor, delay, [alive = lifetime, work = std::move(work)] {
    if (auto owner = alive.lock()) work();
  });
}

void HostContext::releaseInput() const {
  if (services.input) services.input->releaseAll();
}

void HostContext::lockScreen() const {
  releaseInput();
  if (services.actions) services.actions->lockScreen();
}

void HostContext::refreshOverlays() const {
  OverlayState state;
  for (const auto& c : clients.all()) {
    if (!c->authorized() || c->isScreenSharer() || !c->canControl()) continue;
    if (!state.showControl) state.displayID = c->displayID();
    state.showControl = true;
    state.names.push_back(c->displayName());
    state.isSupport = state.isSupport || c->isSupport();
  }
  state.curtain = settings.flag(Setting::blankScreen) && !clients.viewers().empty();
  services.overlays->refresh(state);
}

}  // namespace ambrel
