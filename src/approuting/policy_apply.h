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

// The parts of the apply, for a start that takes over a killed run's
// pieces (policy_takeover.h). The inputs' screens and the mode's demands,
// with the same messages as the apply.
bool CheckAppRoutingInputs(const AppRoutingPolicy& policy, const std::string& tun_name,
                           const DefaultRouteInfo& default_route, bool route_follows,
                           std::string* error);
// What of the mode's pieces stands already and is not written again.
struct AppRoutingInPlace {
  bool guard = false;  // refilled for this TUN device just before
  bool rule4 = false;  // the mode's policy rule, of each family
  bool rule6 = false;
};
// Everything after the group exists: tables, rules, the guard, mark rules,
// source NAT, then a membership pass; all but what IN_PLACE names. A piece
// already in place otherwise stays as it is: routes are replaced, firewall
// rules checked before they are added.
bool InstallAppRoutingPieces(const AppRoutingPolicy& policy, const std::string& tun_name,
                             const DefaultRouteInfo& default_route,
                             const DefaultRouteInfo& default_route6,
                             const AppRoutingInPlace& in_place, std::string* error);
// The tunnel-only guard in both families, refilled where it stands.
bool InstallAppGuard(const std::string& tun_name, std::string* error);
