#include "approuting/policy_repin.h"

#include <optional>

#include "approuting/app_routing_commands.h"
#include "approuting/markers.h"
#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "routing/ipv6_support.h"
#include "routing/marked_traffic.h"

void RepinAppRoutingPolicy(const AppRoutingPolicy& policy, const std::string& tun_name, bool ipv6,
                           const DefaultRouteInfo& old_route, const DefaultRouteInfo& new_route) {
  if (!policy.enabled || policy.mode == "disabled") return;
  if (ipv6 && !KernelHasIpv6()) return;
  // Screens: the apply refused an unsafe TUN name, and a route goes into a
  // command only when IsUsableDefaultRoute passed it.
  if (!IsSafeShellToken(tun_name)) return;
  const AppRoutingFamily& family = ipv6 ? kAppRoutingIpv6 : kAppRoutingIpv4;
  const bool bypass = policy.mode == "bypassSelected";
  if (bypass && !IsUsableDefaultRoute(new_route)) {
    // The table's fallback then refuses the selected programs' traffic
    // rather than let it take the tunnel.
    if (IsUsableDefaultRoute(old_route)) {
      RunShellCommand(AppRoutingPhysicalRouteDeleteCommand(family, old_route));
    }
  } else {
    // Every command replaces, or adds a rule the kernel refuses twice.
    for (const std::string& command :
         AppRoutingRouteCommands(family, policy.mode, tun_name, new_route)) {
      RunShellCommand(command);
    }
  }
  if (!bypass || new_route.dev == old_route.dev) return;
  CleanupMarkedTraffic(family.firewall, kAppRoutingMarker);
  const std::optional<MarkedTraffic> traffic =
      AppRoutingMarkedTraffic(family, policy.mode, tun_name, new_route);
  if (traffic) ApplyMarkedTraffic(*traffic);
}
