#pragma once

#include <string>
#include <vector>

#include "approuting/app_routing_commands.h"

// The firewall's half of "vpnOnlySelected": routing alone keeps the selected
// programs in the tunnel only while the policy rule stands, and a network
// manager that removes rules it does not own takes it away. A chain of its
// own drops packets with the app mark unless they leave through the TUN
// device or loopback; a local sender gets "Operation not permitted".
//
// It sits in mangle POSTROUTING because only there does the firewall see
// the device a packet really leaves by: the OUTPUT chains are told the
// device of the packet's first route, before its mark re-routed it (for a
// selected program the physical one, even when the mark sends it into the
// tunnel). REJECT is not to be had there; the drop is.

// Fixed markers: the chain's name and the comment on the jump.
inline constexpr const char* kAppGuardChain = "ZELMO_APP_GUARD";
inline constexpr const char* kAppGuardMarker = "zelmo-vpn-app-guard";

// The chain's rules in order, and the jump in mangle POSTROUTING, as the
// install writes them after "-A CHAIN ".
std::vector<std::string> AppGuardChainRules(const std::string& tun_name);
std::string AppGuardJumpRule();

// The ordered install commands of one family, for a TUN name that passed
// the screen. Each succeeds when its piece is in place, also on a second
// run: the chain is emptied or made, filled, and the jump added only when
// missing.
std::vector<std::string> AppGuardInstallCommands(const AppRoutingFamily& family,
                                                 const std::string& tun_name);
// Jump first, then the chain: a chain that is still referenced cannot be
// deleted.
std::vector<std::string> AppGuardCleanupCommands(const AppRoutingFamily& family);
