#pragma once

#include <string>
#include <vector>

#include "routing/default_route.h"
#include "routing/endpoint.h"

// The bypass routes of earlier runs (metric 3 over a default route, the
// server's /32 and /128 and the bypass prefixes), found by the cleanup
// mode's listings, without memory of the run that made them.

// Bypass routes carry no marker of their own beyond metric 3 over the
// default route the run pinned them to. That is the host's default route,
// or, when the network changed under the run (and it followed, or crashed
// in the middle of following), one that is no longer the default on a
// device that is still up. The run's own tables name that one: table 100
// holds the ICMP bypass's route, moved last in a move (while the table is
// the bypass's own), and table 1066 the bypassSelected route, in each
// family. A user's metric-3 route over any other default route is never
// touched.
struct PinnedRoutes {
  std::vector<DefaultRouteInfo> ipv4;
  std::vector<DefaultRouteInfo> ipv6;
};

// Reads the default routes above ("ip route show" of tables 100 and 1066,
// the default routes of the main table). Read before those tables change.
PinnedRoutes FindPinnedRoutes();

// Deletes the pins over those default routes ("ip -4 route show" and
// "ip -6 route show", then one "ip route del ... metric 3" each), all but
// those to a destination in KEEP_ENDPOINT or KEEP_PREFIXES. With nothing
// pinned anywhere the listings are skipped.
void RemovePinnedRoutes(const PinnedRoutes& pinned, const ResolvedAddresses& keep_endpoint,
                        const std::vector<std::string>& keep_prefixes);

// For a start that takes over a killed run: removes the killed run's pins
// of a server that is not the new run's, in both families, and keeps those
// the new run wants (ENDPOINT's addresses, BYPASS_PREFIXES), also where
// they still lead over an older default route (the new run's replace
// moves them). Runs the listings of FindPinnedRoutes and RemovePinnedRoutes;
// call it before the new run's ICMP bypass rewrites table 100.
void RemoveOtherServersPins(const ResolvedAddresses& endpoint,
                            const std::vector<std::string>& bypass_prefixes);

// The listed pin destinations (as ParseStaleBypassDestinations and
// ParseStaleEndpointRoutes6 give them) that are none of the wanted ones.
std::vector<std::string> UnwantedPinDestinations(const std::vector<std::string>& destinations,
                                                 bool ipv6, const ResolvedAddresses& endpoint,
                                                 const std::vector<std::string>& bypass_prefixes);
