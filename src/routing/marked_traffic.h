#pragma once

#include <string>
#include <vector>

#include "killswitch/firewall_save.h"

// A firewall mark re-routes a packet after the kernel has chosen its source
// address on the first route (the tunnel's address for a ping or a bypassed
// program, the physical one for a tunnel-only program). Sent like that, no
// answer could come back. So traffic a mark moves onto a device leaves with
// that device's own address (source NAT), and its connection keeps the mark,
// which the answers get back on the way in: strict reverse-path filtering
// then checks them against the marked route, not the first one.

// Every firewall rule the helper adds for this carries a comment beginning
// with this prefix; the rest names the piece it belongs to.
inline constexpr const char* kOwnedRuleMarkerPrefix = "zelmo-vpn-";

struct MarkedTraffic {
  std::string tool;    // "iptables" or "ip6tables"
  std::string mark;    // the mark as the marking rule sets it, e.g. "0x1"
  std::string device;  // where the mark sends the traffic; a screened word
  std::string marker;  // comment that recognises these rules, e.g. "zelmo-vpn-icmp-bypass"
  // Where only one protocol is marked for this: the source NAT takes that
  // protocol alone ("icmp"), so another program's packets with the same
  // mark keep their address. Empty: every protocol.
  std::string protocol;
};

// What the cleanup reads back: "-S" listings of the three chains involved.
struct MarkedTrafficListings {
  std::string nat_postrouting;
  std::string mangle_postrouting;
  std::string mangle_prerouting;
};

// The three rules of the piece, as the install writes them.
std::vector<OwnedFirewallRule> MarkedTrafficOwnedRules(const MarkedTraffic& traffic);

// Check-then-append commands (one copy however often they run): source NAT,
// the connection mark saved on the way out, restored on the way in.
std::vector<std::string> MarkedTrafficInstallCommands(const MarkedTraffic& traffic);
// Deletes for every listed rule of the tool that carries the marker.
std::vector<std::string> MarkedTrafficDeleteCommands(const std::string& tool,
                                                     const std::string& marker,
                                                     const MarkedTrafficListings& listings);

// True when every rule is in place. For IPv4 it also raises src_valid_mark
// on the device (routing/src_valid_mark.h).
bool ApplyMarkedTraffic(const MarkedTraffic& traffic);
// Finds the rules by their marker, so it needs no memory of the install;
// for IPv4 it then puts src_valid_mark back where nothing needs it now.
void CleanupMarkedTraffic(const std::string& tool, const std::string& marker);
