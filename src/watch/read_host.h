#pragma once

// What a look reads of the host, one listing per kind: the routes (and with
// them the network), then, once the wanted state is known, the policy
// rules, the firewall of both families with the helper's own nft tables, and
// the kernel settings the run holds. The parsers are elsewhere; this only
// runs the listings.

#include <string>

#include "tunnel_plan.h"
#include "watch/network_view.h"
#include "watch/repair_plan.h"
#include "watch/wanted_state.h"

// Which listings a look reads; the others are taken as they were.
struct LookKinds {
  bool routes = false;  // and with them the network: default routes, TUN device
  bool rules = false;
  bool firewall = false;
};

// The routes of both families (IPv6 where the kernel has it), the network
// they show, and where the kill switch judges by them, the local bridges.
// False when the routes could not be read.
bool ReadNetwork(const TunnelPlan& plan, bool ipv6, HostListings* host, NetworkView* view);

// The pieces' listings of the kinds asked for, for what `wanted` holds.
void ReadPieces(LookKinds kinds, const WantedState& wanted, bool ipv6, HostListings* host);
