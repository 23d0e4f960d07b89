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
  return IsPinnedRoute(route.key, PinnedEndpoint(plan), plan.bypass_prefixes);
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
