#pragma once

#include <string>
#include <vector>

#include "lifecycle/owned_route.h"
#include "routing/default_route.h"
#include "routing/endpoint.h"

// A route pinned over a default route: DESTINATION through its gateway, or
// on its link where it has none (an IPv4 one keeps "via 0.0.0.0"), with
// metric 3, the helper's marker on these routes. Its install, its delete,
// the cleanup mode's and the watch's all write it from here.
OwnedRoute PinnedRoute(bool ipv6, const std::string& destination, const DefaultRouteInfo& route);

// False when it installs nothing: for an empty TUN name, or one that is no
// safe word.
bool ApplyTunRoutes(const std::string& tun_name, const std::string& endpoint_host,
                    const DefaultRouteInfo& default4, const DefaultRouteInfo& default6,
                    const ResolvedAddresses& endpoint,
                    const std::vector<std::string>& bypass_prefixes);
// `split6`: the IPv6 split routes are there to delete (a run without an
// IPv6 default route never installs them).
void CleanupTunRoutes(const std::string& tun_name, const std::string& endpoint_host,
                      const DefaultRouteInfo& default4, const DefaultRouteInfo& default6,
                      const ResolvedAddresses& endpoint,
                      const std::vector<std::string>& bypass_prefixes, bool split6);

// The pieces of ApplyTunRoutes on their own, for the watch while READY: the
// IPv6 split routes when an IPv6 default route appears, and the bypass
// routes (endpoint /32 and /128, the prefixes) via the default routes given;
// a route that is absent or unusable installs nothing of its family.
void ApplyIpv6SplitRoutes(const std::string& tun_name);
void ApplyBypassRoutes(const std::string& endpoint_host, const DefaultRouteInfo& default4,
                       const DefaultRouteInfo& default6, const ResolvedAddresses& endpoint,
                       const std::vector<std::string>& bypass_prefixes);
// The bypass routes' part of CleanupTunRoutes; each delete names the
// gateway, device and metric, so only the helper's own route goes. The
// suffix ends each endpoint delete ("" or kQuietSuffix).
void RemoveBypassRoutes(const std::string& endpoint_host, const DefaultRouteInfo& default4,
                        const DefaultRouteInfo& default6, const ResolvedAddresses& endpoint,
                        const std::vector<std::string>& bypass_prefixes, const char* suffix);

// The same routes as owned routes, for the watch while READY. The split routes of
// a family; the pins (bypass prefixes, endpoint /32 and /128) through the
// default routes given, on the link where a route has no gateway; a route
// that is absent or unusable pins nothing of its family.
std::vector<OwnedRoute> SplitOwnedRoutes(const std::string& tun_name, bool ipv6);
std::vector<OwnedRoute> PinnedOwnedRoutes(const std::string& endpoint_host,
                                        const DefaultRouteInfo& default4,
                                        const DefaultRouteInfo& default6,
                                        const ResolvedAddresses& endpoint,
                                        const std::vector<std::string>& bypass_prefixes);
// Recognised in a listing by their markers: the halves with metric 5, and
// metric 3 on one of the run's own pinned destinations.
bool IsSplitRoute(const RouteKey& key);
bool IsPinnedRoute(const RouteKey& key, const ResolvedAddresses& endpoint,
                   const std::vector<std::string>& bypass_prefixes);
