#include "watch/owned_pieces.h"

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "killswitch/firewall_save.h"
#include "killswitch/kill_switch_commands.h"
#include "killswitch/rule_listing.h"
#include "routing/icmp_bypass.h"
#include "routing/marked_traffic.h"
#include "routing/tun_routes.h"

bool IsIcmpTableRoute(const ListedRoute& route, const DefaultRouteInfo& icmp_table_route) {
  if (icmp_table_route.dev.empty()) return false;
  return ListedRouteIs(route, IcmpBypassTableRoute(icmp_table_route));
}

bool IsOwnedRoute(const ListedRoute& route, const TunnelPlan& plan,
                  const DefaultRouteInfo& icmp_table_route) {
  if (IsAppRoutingTable(route.key.table)) return true;
  if (route.key.table == "100") return IsIcmpTableRoute(route, icmp_table_route);
  if (IsSplitRoute(route.key)) return route.dev == plan.tun_name;
  return IsPinnedRoute(route.key, plan.endpoint, plan.bypass_prefixes);
}

std::vector<std::string> UplinkDevices(const std::vector<ListedRoute>& routes4,
                                       const std::vector<ListedRoute>& routes6,
                                       const TunnelPlan& plan,
                                       const DefaultRouteInfo& icmp_table_route) {
  std::vector<std::string> devices;
  for (const std::vector<ListedRoute>* routes : {&routes4, &routes6}) {
    for (const ListedRoute& route : *routes) {
      if (route.key.type != "unicast" ||
          (route.key.destination != "0.0.0.0/0" && route.key.destination != "::/0") ||
          IsOwnedRoute(route, plan, icmp_table_route)) {
        continue;
      }
      if (!route.dev.empty()) devices.push_back(route.dev);
      for (const ListedNextHop& hop : route.next_hops) {
        if (!hop.dev.empty()) devices.push_back(hop.dev);
      }
    }
  }
  return devices;
}

bool IsOwnedRuleForm(const ListedRule& rule, bool ipv6) {
  const AppRoutingFamily& family = ipv6 ? kAppRoutingIpv6 : kAppRoutingIpv4;
  for (const char* mode : {"bypassSelected", "vpnOnlySelected"}) {
    if (ListedRuleIs(rule, AppRoutingOwnedRule(family, mode))) return true;
  }
  return !ipv6 && IsIcmpBypassRule(rule);
}

bool IsRemovableRoute(const ListedRoute& route, const TunnelPlan& plan, const NetworkView& view,
                      const DefaultRouteInfo& icmp_table_route) {
  if (view.tun_ifindex == 0 && route.dev == plan.tun_name) return false;
  return IsOwnedRoute(route, plan, icmp_table_route);
}

bool IsOwnedRule(const ListedRule& rule, bool ipv6, const DefaultRouteInfo& icmp_table_route) {
  if (!IsOwnedRuleForm(rule, ipv6)) return false;
  return ipv6 || !IsIcmpBypassRule(rule) || !icmp_table_route.dev.empty();
}

bool IsOwnedChainRule(const std::string& table, const std::string& chain, const std::string& rule) {
  const std::string comment = ListedRuleOption(rule, "--comment");
  if (comment.rfind(kOwnedRuleMarkerPrefix, 0) == 0) return true;
  if (table == "filter" && chain == "OUTPUT") {
    return SameFirewallRule(rule, std::string("-j ") + kKillSwitchChain);
  }
  if (table == "mangle" && chain == "OUTPUT") return IsAppMarkRule(rule) || IsIcmpMarkRule(rule);
  return false;
}

bool IsOwnedChain(const std::string& table, const std::string& chain) {
  return (table == "filter" && chain == kKillSwitchChain) ||
         (table == "mangle" && chain == kAppGuardChain);
}
