#include "CorvelKit/net/UnmappedAddress.h"

namespace corvel::net {

boost::asio::ip::address unmapped(const boost::asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

}  // namespace corvel::net
