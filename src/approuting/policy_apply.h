#pragma once

#include <string>

#include "approuting/app_routing_commands.h"
#include "approuting/policy.h"
#include "routing/default_route.h"

// Steers the selected programs: around the tunnel ("bypassSelected", by the
// recorded default routes) or alone through it ("vpnOnlySelected"), in both
// address families where the kernel has IPv6. With route_follows (the run
// mode, which moves the pieces when a default route comes) "bypassSelected"
// starts without an IPv4 default route too: its table then refuses the
// selected programs' traffic until one comes.
bool ApplyAppRoutingPolicy(const AppRoutingPolicy& policy, const std::string& tun_name,
                           const DefaultRouteInfo& default_route,
                           const DefaultRouteInfo& default_route6, std::string* error,
                           bool route_follows = false);

// The group's mark rule of one family, once; true when it is in place.
bool InstallAppMarkRule(const AppRoutingFamily& family);
