#pragma once

#include <string>
#include <vector>

#include "routing/default_route.h"

// Destinations of "ip -4 route show" lines that are bypass routes of an
// earlier run: via the given default gateway and device, with metric 3, and
// an IPv4 address or prefix as destination. Each is returned exactly as the
// listing shows it and is safe to place into a shell command.
std::vector<std::string> ParseStaleBypassDestinations(const std::string& route_listing,
                                                      const DefaultRouteInfo& default4);

// The gateway and device of the first "default via GW dev DEV" line of an
// "ip route show default table N" listing (lines without both, such as the
// table's unreachable fallback, are passed over); empty when there is none.
DefaultRouteInfo ParsePinnedDefaultRoute(const std::string& table_listing);

// Names of "ip -o link show type tun" lines that belong to the program
// (beginning "qtun" or "zelmo_vpn-tun"), peer part cut off. Names that would
// not be safe in a shell command are left out.
std::vector<std::string> ParseOwnedTunNames(const std::string& link_listing);
