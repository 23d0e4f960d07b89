#pragma once

// The network as a look just read it, against the view of the last look:
// what changed, the status lines that tell the client, and the plan brought
// along (default routes, the endpoint's late addresses, the kill switch's
// uplinks and bridges, whether table 100 is the ICMP bypass's to use).

#include <cstdint>
#include <string>
#include <vector>

#include "tunnel_plan.h"
#include "watch/network_view.h"
#include "watch/repair_plan.h"
#include "watch/watch_state.h"

// The lines a change of the view gives, in order: a default route that
// changed (as the start prints it), a TUN device gone or back, the same
// device without an address of a family, or with one again.
std::vector<std::string> NetworkChangeLines(const NetworkView& before, const NetworkView& now,
                                            const std::string& tun_name);

// Follows the network the listings in `host` show (`now` is their view).
// Adds the status lines to `lines`, to be printed once the repair is
// applied; true when anything the wanted state depends on changed.
bool FollowNetwork(const HostListings& host, const NetworkView& now, bool ask_endpoint_again,
                   int64_t now_ms, TunnelPlan* plan, WatchState* state,
                   std::vector<std::string>* lines);

// The routes of the main table, through a gateway on an uplink, that are
// more specific than the default route and not the helper's (the shape of
// a hostile DHCP option 121, or a user's own route): what they cover goes
// around the split routes, and so around the tunnel. IPv6 ones only where
// `ipv6_split` (the IPv6 split routes are wanted). As the status lines name
// them: "DESTINATION via GATEWAY dev DEVICE".
std::vector<std::string> RoutesAroundTunnel(const std::vector<ListedRoute>& routes4,
                                            const std::vector<ListedRoute>& routes6,
                                            const std::vector<std::string>& uplinks,
                                            const TunnelPlan& plan, bool ipv6_split);
