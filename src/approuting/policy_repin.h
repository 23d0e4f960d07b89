#pragma once

#include <string>

#include "approuting/policy.h"
#include "routing/default_route.h"

// Moves the policy's pieces of one family that depend on the default route
// from the old route to the new one (either may be absent): for
// "bypassSelected" the table's route and the source NAT and connection
// marks on the device. Called with the same route when the TUN device comes
// back, it puts back the tunnel-only table's route, which went with the
// device. Nothing for a disabled policy.
void RepinAppRoutingPolicy(const AppRoutingPolicy& policy, const std::string& tun_name, bool ipv6,
                           const DefaultRouteInfo& old_route, const DefaultRouteInfo& new_route);
