#pragma once

#include <memory>
#include <string>

#include "tests/support/NetworkNamespace.h"

namespace corvel::test {

// Two computers on two home networks, each behind its own masquerading router, and an internet
// between the routers:
//
//   host 10.1.0.2 -- 10.1.0.1 router A 198.51.100.2 -- 198.51.100.1 internet 203.0.113.1 --
//       203.0.113.2 router B 10.2.0.1 -- 10.2.0.2 viewer
//
// The routers translate outgoing traffic to their public address (nftables masquerade) and let in
// only what answers it, as home routers do; the internet namespace routes between them and is
// where public servers (a STUN server) run. Needs root; everything is removed at the end.
class NatLab {
 public:
  static constexpr const char* hostAddress = "10.1.0.2";
  static constexpr const char* routerAPublic = "198.51.100.2";
  static constexpr const char* internetAddress = "198.51.100.1";
  static constexpr const char* routerBPublic = "203.0.113.2";
  static constexpr const char* viewerAddress = "10.2.0.2";

  NatLab();
  NatLab(const NatLab&) = delete;
  NatLab& operator=(const NatLab&) = delete;

  bool isReady() const { return ready_; }
  const std::string& errors() const { return errors_; }

  NetworkNamespace& host() { return host_; }
  NetworkNamespace& viewer() { return viewer_; }
  NetworkNamespace& internet() { return internet_; }

 private:
  bool link(NetworkNamespace& a, const std::string& addressA, NetworkNamespace& b,
            const std::string& addressB);
  bool masquerade(NetworkNamespace& router, const std::string& publicLink);

  NetworkNamespace internet_, routerA_, routerB_, host_, viewer_;
  int links_ = 0;
  bool ready_ = false;
  std::string errors_;
};

}  // namespace corvel::test
