#include "CorvelKit/net/NetworkInterfaces.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "CorvelKit/net/UnmappedAddress.h"

namespace corvel::net {

namespace {

struct Installed {
  std::mutex mutex;
  std::shared_ptr<const NetworkInterfaces> replacement;
};

Installed& installed() {
  static Installed i;
  return i;
}

bool sameAddress(const boost::asio::ip::address& a, const boost::asio::ip::address& b) {
  if (a.is_v4() && b.is_v4()) return a == b;
  if (a.is_v6() && b.is_v6()) return a.to_v6().to_bytes() == b.to_v6().to_bytes();
  return false;
}

}  // namespace

std::optional<std::string> NetworkInterfaces::holding(const boost::asio::ip::address& address) const {
  const auto wanted = unmapped(address);
  for (const auto& i : list()) {
    const bool holds = std::any_of(i.addresses.begin(), i.addresses.end(),
                                   [&](const auto& a) { return sameAddress(a, wanted); });
    if (holds) return i.name;
  }
  return std::nullopt;
}

bool NetworkInterfaces::isUp(std::string_view name) const {
  const auto all = list();
  return std::any_of(all.begin(), all.end(),
                     [&](const NetworkInterface& i) { return i.up && i.name == name; });
}

std::shared_ptr<const NetworkInterfaces> NetworkInterfaces::current() {
  {
    std::lock_guard lock(installed().mutex);
    if (installed().replacement) return installed().replacement;
  }
  return platform();
}

std::shared_ptr<const NetworkInterfaces> NetworkInterfaces::install(
    std::shared_ptr<const NetworkInterfaces> replacement) {
  std::lock_guard lock(installed().mutex);
  return std::exchange(installed().replacement, std::move(replacement));
}

}  // namespace corvel::net
