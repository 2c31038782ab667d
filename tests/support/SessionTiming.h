#pragma once

#include <string>

namespace corvel::security {
class SecureIdentity;
}

namespace corvel::test {

// One good client's whole set-up against a host on [::1]:5895: TCP, TLS, the secure handshake, a
// hello and the HelloAck. Milliseconds, or -1 when any step failed or the HelloAck took over 5 s.
double timedSession(const std::string& code, const security::SecureIdentity& identity);

}  // namespace corvel::test
