#pragma once

#include <memory>
#include <mutex>

#include "Ambrel_Host/reach/ServiceAdvertiser.h"

namespace ambrel {

// Advertisement through the Avahi daemon, on Avahi's own thread. The client is created so that it
// survives the daemon's absence or restart: the service is (re)registered whenever the daemon is
// running, and a name collision moves to Avahi's alternative name ("Name #2").
class AvahiServiceAdvertiser final : public ServiceAdvertiser {
 public:
  AvahiServiceAdvertiser();
  ~AvahiServiceAdvertiser() override;

  void advertise(const std::string& name, const std::string& type, std::uint16_t port) override;
  void stop() override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ambrel
