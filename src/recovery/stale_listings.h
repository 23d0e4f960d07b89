#pragma once

#include <string>
#include <vector>

#include "routing/default_route.h"

// Destinations of "ip -4 route show" lines that are bypass routes of an
// earlier run (ParsePinnedRouteLine: metric 3 over the given default route,
// via its gateway and device, or, for a route without a gateway, on its
// device with no "via"), with an IPv4 address or prefix as destination.
// Each is returned exactly as the listing shows it and is safe to place
// into a shell command.
std::vector<std::string> ParseStaleBypassDestinations(const std::string& route_listing,
                                                      const DefaultRouteInfo& default4);

// The same for "ip -6 route show" lines: the endpoint /128 routes of an
// earlier run, listed as bare IPv6 addresses.
std::vector<std::string> ParseStaleEndpointRoutes6(const std::string& route_listing,
                                                   const DefaultRouteInfo& default6);

// The gateway and device of the first "default via GW dev DEV" or
// "default dev DEV" line of an "ip route show default table N" listing
// (lines of another type, such as the table's unreachable fallback, are
// passed over); empty when there is none.
DefaultRouteInfo ParsePinnedDefaultRoute(const std::string& table_listing);

// Names of "ip -o link show type tun" lines that belong to the program
// (beginning "qtun" or "zelmo_vpn-tun"), peer part cut off. Names that would
// not be safe in a shell command are left out.
std::vector<std::string> ParseOwnedTunNames(const std::string& link_listing);
