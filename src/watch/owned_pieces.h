#pragma once

// What in a listing is the helper's own, by the pieces' markers: only such
// entries are ever removed or replaced by the watch; everything else on the
// host belongs to someone else and stays as it is.

#include <string>

#include "lifecycle/route_listing.h"
#include "routing/default_route.h"
#include "tunnel_plan.h"

// `icmp_table_route`: the route the watch last put into table 100 (empty
// fields when none); a table-100 route is the helper's only when it is that
// one.
bool IsOwnedRoute(const ListedRoute& route, const TunnelPlan& plan,
                  const DefaultRouteInfo& icmp_table_route);
// The ICMP bypass's rule is the helper's only while the bypass is
// (`icmp_bypass_ours`): the same rule may be another owner's where table
// 100 is.
bool IsOwnedRule(const ListedRule& rule, bool ipv6, bool icmp_bypass_ours);
// A rule of a built-in chain: one with a comment of the helper's
// ("zelmo-vpn-..."), a jump to one of its chains, or a mark rule of its
// (app routing's cgroup mark, the ICMP bypass's in either form).
bool IsOwnedChainRule(const std::string& table, const std::string& chain, const std::string& rule);
// The chains of the helper's own: the kill switch and the app guard.
bool IsOwnedChain(const std::string& table, const std::string& chain);
