#pragma once

#include <string>

#include "routing/default_route.h"

// Reading routes back from "ip route show" and "ip -6 route show" lines.
// A route pinned to a default route without a gateway is listed without
// "via" (the kernel drops "via 0.0.0.0"), one through a gateway with it:
// everything that reads the helper's routes back knows both forms.

// The next hop a listed line names: the words after "via" and "dev" (the
// word after either is taken as its value, a later one wins); the gateway
// is empty when the line has no "via".
DefaultRouteInfo ParseListedNextHop(const std::string& line);

// Whether a listed line goes over the given default route: through its
// gateway on its device, or, for a route without a gateway, on its device
// with no "via" at all.
bool ListsNextHopOf(const std::string& line, const DefaultRouteInfo& route);
