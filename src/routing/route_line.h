#pragma once

#include <string>

#include "routing/default_route.h"

// Reading routes back from "ip route show" and "ip -6 route show" lines.
// A route pinned to a default route without a gateway is listed without
// "via" (the kernel drops "via 0.0.0.0"), one through a gateway with it:
// everything that reads the helper's routes back knows both forms.

// One listed line, as far as the helper's routes go. Keys and their values
// are words; the word after a key is taken as its value, a later one wins.
struct RouteLine {
  std::string type;            // "unreachable", "blackhole", ...; empty for a plain route
  std::string destination;     // as listed: "default", "10.0.0.0/8", "2001:db8::7"
  DefaultRouteInfo next_hop;   // gateway empty when the line has no "via"
  std::string metric;          // empty when none is listed
  std::string proto;           // "kernel" for the kernel's own routes of an address
};
RouteLine ParseRouteLine(const std::string& line);

// The next hop a listed line names (ParseRouteLine's next_hop).
DefaultRouteInfo ParseListedNextHop(const std::string& line);

// Whether a listed line goes over the given default route: through its
// gateway on its device, or, for a route without a gateway, on its device
// with no "via" at all.
bool ListsNextHopOf(const std::string& line, const DefaultRouteInfo& route);

// Whether a listed line is a route the helper pinned over ROUTE: a plain
// route to an address or prefix, metric 3, over ROUTE in either form, not
// one the kernel made for an address. Its destination, as listed (host
// routes without /32 or /128), goes into DESTINATION.
bool ParsePinnedRouteLine(const std::string& line, const DefaultRouteInfo& route,
                          std::string* destination);
