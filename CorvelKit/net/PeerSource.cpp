#include "CorvelKit/net/PeerSource.h"

#include <boost/asio/ip/address.hpp>

#include "CorvelKit/net/UnmappedAddress.h"

namespace corvel::net {

std::string PeerSource::of(std::string_view address) {
  boost::system::error_code ec;
  const std::string text(address.substr(0, address.find('%')));  // no zone index
  auto parsed = boost::asio::ip::make_address(text, ec);
  if (ec) return std::string(address);
  parsed = unmapped(parsed);
  if (parsed.is_v4()) return parsed.to_string();
  auto bytes = parsed.to_v6().to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

}  // namespace corvel::net
