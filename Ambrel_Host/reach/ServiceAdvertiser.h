#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ambrel {

// Announces the host on the local network by DNS service discovery.
class ServiceAdvertiser {
 public:
  virtual ~ServiceAdvertiser() = default;
  // Advertises `name` as a service of `type` ("_corvel._tcp") on `port`, in the default domain,
  // with no TXT record. Replaces any earlier advertisement of this advertiser.
  virtual void advertise(const std::string& name, const std::string& type, std::uint16_t port) = 0;
  // Withdraws the advertisement.
  virtual void stop() = 0;

  // The system's advertiser (Avahi); without a running daemon it logs that and waits for one.
  static std::unique_ptr<ServiceAdvertiser> create();
};

}  // namespace ambrel
