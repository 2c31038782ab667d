#pragma once

// Internal to the connection and listener sources: this header brings in Asio's SSL layer and with
// it OpenSSL, so only .cpp files include it.

#include <memory>

#include <boost/asio/ssl/context.hpp>
#include <boost/system/error_code.hpp>

#include "CorvelKit/base/Bytes.h"

namespace corvel::net {

// TLS 1.2 with a pre-shared key: identity "corvel", the one cipher suite 0x00A8
// (TLS_PSK_WITH_AES_128_GCM_SHA256), no session tickets, no resumption, no renegotiation.
// The context keeps its own (wiped on release) copy of the 32-byte key.
enum class TlsRole { client, server };
boost::asio::ssl::context makeTlsPskContext(TlsRole role, ByteView accessKey);
// The same, shared: connections keyed alike use one context per role (making one costs about a
// millisecond). The latest key of each role is kept; a connection with another key makes and
// keeps a new context, and the old one goes with the last connection that holds it.
std::shared_ptr<boost::asio::ssl::context> sharedTlsPskContext(TlsRole role, ByteView accessKey);

// The PSK identity both sides use.
inline constexpr const char* kPskIdentity = "corvel";

// True when an error came from the TLS layer (a wrong key shows up this way), as opposed to the
// network below it or a peer that hung up.
bool isTlsError(const boost::system::error_code& ec);

}  // namespace corvel::net
