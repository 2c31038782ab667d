#include "tests/support/NatLab.h"

namespace corvel::test {

NatLab::NatLab() {
  for (auto* space : {&internet_, &routerA_, &routerB_, &host_, &viewer_}) {
    if (!space->isReady()) {
      errors_ = space->errors();
      return;
    }
  }
  const bool wired =
      link(host_, "10.1.0.2", routerA_, "10.1.0.1") &&
      link(routerA_, "198.51.100.2", internet_, "198.51.100.1") &&
      link(routerB_, "203.0.113.2", internet_, "203.0.113.1") &&
      link(viewer_, "10.2.0.2", routerB_, "10.2.0.1") &&
      host_.shInside("ip route add default via 10.1.0.1") &&
      viewer_.shInside("ip route add default via 10.2.0.1") &&
      routerA_.shInside("ip route add default via 198.51.100.1") &&
      routerB_.shInside("ip route add default via 203.0.113.1") &&
      internet_.shInside("sysctl -qw net.ipv4.ip_forward=1") &&
      routerA_.shInside("sysctl -qw net.ipv4.ip_forward=1") &&
      routerB_.shInside("sysctl -qw net.ipv4.ip_forward=1") &&
      masquerade(routerA_, "l1") && masquerade(routerB_, "l2");
  if (!wired) {
    for (auto* space : {&internet_, &routerA_, &routerB_, &host_, &viewer_}) errors_ += space->errors();
    return;
  }
  ready_ = true;
}

// A link between two namespaces: a pair of virtual Ethernet ends, each with its /24 address. The
// ends are named l<N> in both (each namespace has its own names).
bool NatLab::link(NetworkNamespace& a, const std::string& addressA, NetworkNamespace& b,
                  const std::string& addressB) {
  const auto end = "l" + std::to_string(links_++);
  return a.sh("ip link add " + end + " netns " + a.name() + " type veth peer name " + end +
              " netns " + b.name()) &&
         a.shInside("ip addr add " + addressA + "/24 dev " + end) &&
         a.shInside("ip link set " + end + " up") &&
         b.shInside("ip addr add " + addressB + "/24 dev " + end) &&
         b.shInside("ip link set " + end + " up");
}

// Outgoing traffic leaves with the router's public address; from outside only what answers it
// comes in, as a home router's firewall has it.
bool NatLab::masquerade(NetworkNamespace& router, const std::string& publicLink) {
  return router.shInside("nft add table ip nat") &&
         router.shInside("nft add chain ip nat post { type nat hook postrouting priority 100 \\; }") &&
         router.shInside("nft add rule ip nat post oifname " + publicLink + " masquerade") &&
         router.shInside("nft add table ip filter") &&
         router.shInside("nft add chain ip filter forward { type filter hook forward priority 0 \\; policy drop \\; }") &&
         router.shInside("nft add rule ip filter forward ct state established,related accept") &&
         router.shInside("nft add rule ip filter forward oifname " + publicLink + " accept") &&
         // Nothing unasked from outside reaches the router itself either: dropped before the
         // connection tracking keeps a record of it (one kept would take the public port that
         // a later outgoing flow toward the same peer needs).
         router.shInside("nft add chain ip filter input { type filter hook input priority 0 \\; }") &&
         router.shInside("nft add rule ip filter input iifname " + publicLink + " ct state new drop");
}

}  // namespace corvel::test
