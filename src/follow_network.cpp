#include "follow_network.h"

#include <net/if.h>

#include "approuting/policy_repin.h"
#include "killswitch/kill_switch.h"
#include "lifecycle/shell.h"
#include "lifecycle/status_line.h"
#include "lifecycle/text_utils.h"
#include "routing/icmp_bypass.h"
#include "routing/ipv6_support.h"
#include "routing/tun_routes.h"

namespace {

DefaultRouteInfo UsableOrAbsent(const DefaultRouteInfo& route) {
  return IsUsableDefaultRoute(route) ? route : DefaultRouteInfo{};
}

bool SameRoute(const DefaultRouteInfo& a, const DefaultRouteInfo& b) {
  return a.gateway == b.gateway && a.dev == b.dev;
}

bool InstallsTunRoutes(const TunnelPlan& plan) {
  return !(plan.policy.enabled && plan.policy.mode == "vpnOnlySelected");
}

bool HasAppRoutingPolicy(const TunnelPlan& plan) {
  return plan.policy.enabled && plan.policy.mode != "disabled";
}

// A start without a network may have found no address for the endpoint,
// or none of a family (the resolver leaves out a family the host has no
// address of): a network of that family gets a second try, before anything
// is pinned. True when addresses were added now.
bool ResolveMissingEndpoint(bool want4, bool want6, TunnelPlan* plan) {
  const bool need4 = want4 && plan->endpoint.ipv4.empty();
  const bool need6 = want6 && plan->endpoint.ipv6.empty();
  if (plan->endpoint_host.empty() || (!need4 && !need6)) return false;
  const ResolvedAddresses fresh = ResolveHostAddressesWithin(plan->endpoint_host, 1000);
  ResolvedAddresses added;
  if (need4) added.ipv4 = fresh.ipv4;
  if (need6) added.ipv6 = fresh.ipv6;
  if (added.ipv4.empty() && added.ipv6.empty()) return false;
  plan->endpoint.ipv4.insert(plan->endpoint.ipv4.end(), added.ipv4.begin(), added.ipv4.end());
  plan->endpoint.ipv6.insert(plan->endpoint.ipv6.end(), added.ipv6.begin(), added.ipv6.end());
  PrintStatusLine("INFO: endpoint=" + plan->endpoint_host + " bypass4=[" +
                  JoinList(plan->endpoint.ipv4) + "] bypass6=[" + JoinList(plan->endpoint.ipv6) +
                  "]");
  std::string error;
  if (plan->kill_switch &&
      !AddKillSwitchEndpoint(added, KernelHasIpv6(), HasAppRoutingPolicy(*plan), &error)) {
    // No "ERROR: " line after READY; the chain still rejects, which is safe.
    PrintStatusLine("INFO: kill switch does not admit the endpoint: " + error);
  }
  return true;
}

void MoveIpv4(const DefaultRouteInfo& old4, TunnelPlan* plan) {
  const DefaultRouteInfo& new4 = plan->default4;
  if (InstallsTunRoutes(*plan)) {
    ApplyBypassRoutes(plan->endpoint_host, new4, {}, plan->endpoint, plan->bypass_prefixes);
    // Replaced where the destination is the same; what still points at the
    // old gateway is the helper's own (its metric names it) and goes.
    if (!SameRoute(old4, new4)) {
      RemoveBypassRoutes(plan->endpoint_host, old4, {}, plan->endpoint, plan->bypass_prefixes,
                         kQuietSuffix);
    }
  }
  RepinAppRoutingPolicy(plan->policy, plan->tun_name, false, old4, new4);
  if (plan->icmp_bypass) {
    RepinIcmpBypass(old4, new4);
  } else if (IsUsableDefaultRoute(new4)) {
    // A start without a network, or a table 100 of another owner then.
    plan->icmp_bypass = ApplyIcmpBypass(new4) == IcmpBypassResult::kInstalled;
  }
}

void MoveIpv6(const DefaultRouteInfo& old6, TunnelPlan* plan) {
  const DefaultRouteInfo& new6 = plan->default6;
  if (InstallsTunRoutes(*plan)) {
    // As the start would have: with an IPv6 default route, IPv6 enters the
    // tunnel too.
    if (IsUsableDefaultRoute(new6)) ApplyIpv6SplitRoutes(plan->tun_name);
    ApplyBypassRoutes(plan->endpoint_host, {}, new6, plan->endpoint, plan->bypass_prefixes);
    if (!SameRoute(old6, new6)) {
      RemoveBypassRoutes(plan->endpoint_host, {}, old6, plan->endpoint, plan->bypass_prefixes,
                         kQuietSuffix);
    }
  }
  RepinAppRoutingPolicy(plan->policy, plan->tun_name, true, old6, new6);
}

}  // namespace

NetworkReading ReadNetwork(const std::string& tun_name) {
  NetworkReading reading;
  reading.default4 = UsableOrAbsent(ReadDefaultRoute());
  reading.default6 = UsableOrAbsent(ReadDefaultRouteV6());
  reading.tun_present = !tun_name.empty() && if_nametoindex(tun_name.c_str()) != 0;
  return reading;
}

NetworkChange CompareNetwork(const TunnelPlan& plan, bool tun_present, const NetworkReading& now) {
  NetworkChange change;
  change.default4 = !SameRoute(UsableOrAbsent(plan.default4), UsableOrAbsent(now.default4));
  change.default6 = !SameRoute(UsableOrAbsent(plan.default6), UsableOrAbsent(now.default6));
  change.tun_gone = tun_present && !now.tun_present;
  change.tun_back = !tun_present && now.tun_present;
  return change;
}

bool FollowNetwork(const NetworkReading& now, bool reassert4, bool reassert6, TunnelPlan* plan,
                   bool* tun_present) {
  const NetworkChange change = CompareNetwork(*plan, *tun_present, now);
  const DefaultRouteInfo old4 = UsableOrAbsent(plan->default4);
  const DefaultRouteInfo old6 = UsableOrAbsent(plan->default6);
  bool acted = false;
  if (change.default4) {
    PrintStatusLine("INFO: default4 via=" + now.default4.gateway + " dev=" + now.default4.dev);
  }
  if (change.default6) {
    PrintStatusLine(IsUsableDefaultRoute(now.default6)
                        ? "INFO: default6 via=" + now.default6.gateway + " dev=" + now.default6.dev
                        : std::string("INFO: default6 missing"));
  }
  // The plan changes with the host, so a teardown at any later moment
  // removes the pieces as they are then.
  plan->default4 = now.default4;
  plan->default6 = now.default6;
  const bool resolved =
      (change.default4 || change.default6) &&
      ResolveMissingEndpoint(IsUsableDefaultRoute(now.default4),
                             IsUsableDefaultRoute(now.default6), plan);
  if (change.default4 || resolved || (reassert4 && IsUsableDefaultRoute(now.default4))) {
    MoveIpv4(old4, plan);
    acted = true;
  }
  if (change.default6 || resolved || (reassert6 && IsUsableDefaultRoute(now.default6))) {
    MoveIpv6(old6, plan);
    acted = true;
  }

  if (change.tun_gone) {
    // The engine's device took its routes with it; nothing to move until
    // a device of the name is back.
    PrintStatusLine("INFO: tun device " + plan->tun_name + " is gone");
    *tun_present = false;
  }
  if (change.tun_back) {
    *tun_present = true;
    if (InstallsTunRoutes(*plan)) {
      ApplyTunRoutes(plan->tun_name, plan->endpoint_host, plan->default4, plan->default6,
                     plan->endpoint, plan->bypass_prefixes);
    }
    RepinAppRoutingPolicy(plan->policy, plan->tun_name, false, plan->default4, plan->default4);
    RepinAppRoutingPolicy(plan->policy, plan->tun_name, true, plan->default6, plan->default6);
    PrintStatusLine("INFO: tun device " + plan->tun_name + " is back; its routes are installed");
    acted = true;
  }
  return acted;
}
