#pragma once

#include <string>

namespace ambrel {

// The name this computer shows on the network: the pretty host name of /etc/machine-info when
// one is set, else the host name, else "Mac".
std::string computerName();

}  // namespace ambrel
