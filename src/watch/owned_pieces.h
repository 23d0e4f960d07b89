#pragma once

// What in a listing is the helper's own, by the pieces' markers: only such
// entries are ever removed or replaced by the watch; everything else on the
// host belongs to someone else and stays as it is.

#include <string>
#include <vector>

#include "lifecycle/route_listing.h"
#include "routing/default_route.h"
#include "tunnel_plan.h"
#include "watch/network_view.h"

// `icmp_table_route`: the route the watch last put into table 100 (empty
// fields when none); a table-100 route is the helper's only when it is that
// one.
bool IsOwnedRoute(const ListedRoute& route, const TunnelPlan& plan,
                  const DefaultRouteInfo& icmp_table_route);
// The route the watch last put into table 100.
bool IsIcmpTableRoute(const ListedRoute& route, const DefaultRouteInfo& icmp_table_route);
// Of the owned routes, the ones a look may remove: none on the TUN device while the
// view has it gone. They went with it; a listing read a moment before it
// went may still show them, and a delete would only fail.
bool IsRemovableRoute(const ListedRoute& route, const TunnelPlan& plan, const NetworkView& view,
                      const DefaultRouteInfo& icmp_table_route);
// A policy rule of one of the helper's forms (app routing's, the ICMP
// bypass's in either form, IsIcmpBypassRule), whoever made it: one that is
// wanted is taken as it stands, the older form of the bypass's replaced.
bool IsOwnedRuleForm(const ListedRule& rule, bool ipv6);
// One of those the helper may remove. The ICMP bypass's form is the
// helper's only while the bypass holds table 100 (`icmp_table_route` as
// for IsOwnedRoute): beside another owner's table 100 a rule of that form
// is that owner's, and teardown and the cleanup mode leave it too.
bool IsOwnedRule(const ListedRule& rule, bool ipv6, const DefaultRouteInfo& icmp_table_route);
// A rule of a built-in chain: one with a comment of the helper's
// ("zelmo-vpn-..."), a jump to one of its chains, or a mark rule of its
// (app routing's cgroup mark, the ICMP bypass's in either form).
bool IsOwnedChainRule(const std::string& table, const std::string& chain, const std::string& rule);
// The chains of the helper's own: the kill switch and the app guard.
bool IsOwnedChain(const std::string& table, const std::string& chain);
