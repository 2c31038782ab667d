#pragma once

#include <boost/asio/ip/address.hpp>

namespace corvel::net {

// The IPv4 address an IPv4-mapped IPv6 address (::ffff:a.b.c.d) stands for; any other address as
// it is. Dual-stack sockets report IPv4 peers in the mapped form.
boost::asio::ip::address unmapped(const boost::asio::ip::address& address);

}  // namespace corvel::net
