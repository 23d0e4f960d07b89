#pragma once

#include <string>
#include <vector>

#include "lifecycle/owned_route.h"

// Reading back what `ip route show table all` and `ip rule show` list, in
// either family, so that the watch judges the host by its state rather than
// by the notifications that announced a change.

struct ListedNextHop {
  std::string gateway;  // canonical, "" on the link
  std::string dev;
  bool dead = false;  // the kernel marks it dead or its link down
};

struct ListedRoute {
  RouteKey key;
  std::string gateway;  // canonical, "" on the link
  std::string dev;
  // The kernel marks it dead. A route it marks linkdown (its link lost its
  // carrier) it still uses: that is no dead route.
  bool dead = false;
  // A multipath route lists its next hops on lines of their own.
  std::vector<ListedNextHop> next_hops;
};

std::vector<ListedRoute> ParseRouteListing(const std::string& listing, bool ipv6);
// The same for "ip -o route show": a route's further lines (a multipath
// route's next hops) follow a backslash on its own line.
std::vector<ListedRoute> ParseOneLineRouteListing(const std::string& listing, bool ipv6);

// True when the listed route is the one the helper describes: the same key,
// and for a route that leads somewhere the same gateway and device.
bool ListedRouteIs(const ListedRoute& listed, const OwnedRoute& owned);

// The physical default route of the main table, as the kernel uses it: of
// the default routes the one with the lowest metric, also while its link
// has no carrier; of a multipath route the first next hop that is alive
// (neither dead nor without carrier). IPv4 writes a route without a gateway
// with gateway 0.0.0.0, as /proc/net/route does; IPv6 leaves it empty.
// Routes through a device named in `skip` (the tunnel's) are passed over.
// Empty fields when there is none.
struct ListedDefaultRoute {
  std::string gateway;
  std::string dev;
};
ListedDefaultRoute SelectDefaultRoute(const std::vector<ListedRoute>& routes, bool ipv6,
                                      const std::string& skip);

struct ListedRule {
  std::string priority;
  std::string fwmark;  // "" when it selects no mark
  std::string table;   // the table it looks up
  std::string ipproto;  // "" when it selects every protocol
  // Anything else it selects by (iif, from, not, ...): a rule that holds
  // more is not one the helper wrote.
  bool other_selectors = false;
};

std::vector<ListedRule> ParseRuleListing(const std::string& listing);
bool ListedRuleIs(const ListedRule& listed, const OwnedRule& owned);
