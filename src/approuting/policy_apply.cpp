#include "approuting/policy_apply.h"

#include <net/if.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "approuting/cgroup_location.h"
#include "approuting/membership.h"
#include "approuting/policy_cleanup.h"
#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "routing/ipv6_support.h"
#include "routing/marked_traffic.h"

namespace {

// A tunnel-only program relies on every one of these pieces to stay in the
// tunnel, so each must be in place or the apply fails. A bypassed program
// that misses its route only falls back into the tunnel: those results are
// not examined.
bool RunPieceCommands(const std::vector<std::string>& commands, bool required,
                      std::string* error) {
  for (const std::string& command : commands) {
    if (RunShellCommand(command) != 0 && required) {
      *error = "app routing command failed: " + command;
      return false;
    }
  }
  return true;
}

bool InstallMarkedTraffic(const std::optional<MarkedTraffic>& traffic) {
  return !traffic || ApplyMarkedTraffic(*traffic);
}

// The kernel refuses a second copy of a policy rule: one that stands is
// not added again.
std::vector<std::string> RouteCommandsToRun(const AppRoutingFamily& family, const std::string& mode,
                                            const std::string& tun_name,
                                            const DefaultRouteInfo& default_route,
                                            bool rule_in_place) {
  std::vector<std::string> commands = AppRoutingRouteCommands(family, mode, tun_name, default_route);
  if (rule_in_place) {
    commands.erase(std::remove(commands.begin(), commands.end(), AppRoutingRuleCommand(family, mode)),
                   commands.end());
  }
  return commands;
}

}  // namespace

// Check, then append: one mark rule however often the policy is applied.
// The match path passed the cgroup path screen in EnsureAppRoutingCgroup.
bool InstallAppMarkRule(const AppRoutingFamily& family) {
  return RunShellCommand(AppMarkRuleCommand(family, "-C", g_app_cgroup_match_path) +
                         kQuietSuffix) == 0 ||
         RunShellCommand(AppMarkRuleCommand(family, "-A", g_app_cgroup_match_path)) == 0;
}

bool CheckAppRoutingInputs(const AppRoutingPolicy& policy, const std::string& tun_name,
                           const DefaultRouteInfo& default_route, bool route_follows,
                           std::string* error) {
  if (policy.apps.empty()) {
    *error = "selected app routing requires at least one app";
    return false;
  }
  // Screens: the TUN name and the default routes go unquoted into commands
  // (an IPv6 route that fails IsUsableDefaultRoute is treated as missing).
  // A name no interface can carry would fail only halfway through the
  // install, in the source NAT on the device.
  if (!IsSafeShellToken(tun_name) || tun_name.size() >= IFNAMSIZ) {
    *error = "invalid TUN interface name for app routing";
    return false;
  }
  if (policy.mode == "bypassSelected" && !IsUsableDefaultRoute(default_route) && !route_follows) {
    *error = "original default route is unavailable for app bypass";
    return false;
  }
  return true;
}

bool InstallAppRoutingPieces(const AppRoutingPolicy& policy, const std::string& tun_name,
                             const DefaultRouteInfo& default_route,
                             const DefaultRouteInfo& default_route6,
                             const AppRoutingInPlace& in_place, std::string* error) {
  const std::vector<std::string> route_commands = RouteCommandsToRun(
      kAppRoutingIpv4, policy.mode, tun_name, default_route, in_place.rule4);
  if (route_commands.empty()) {
    *error = "unsupported app routing mode";
    return false;
  }
  const bool tunnel_only = policy.mode == "vpnOnlySelected";
  if (!RunPieceCommands(route_commands, tunnel_only, error)) return false;
  // Without the IPv6 pieces a selected program's IPv6 would take the other
  // path: around the tunnel in "vpnOnlySelected", through it in
  // "bypassSelected". A kernel without IPv6 has no such traffic.
  const bool ipv6 = KernelHasIpv6();
  if (ipv6 && !RunPieceCommands(RouteCommandsToRun(kAppRoutingIpv6, policy.mode, tun_name,
                                                   default_route6, in_place.rule6),
                                tunnel_only, error)) {
    return false;
  }
  // The guard goes in before the mark rules, so no marked packet is ever
  // without it.
  if (tunnel_only && !in_place.guard && !InstallAppGuard(tun_name, error)) return false;

  if (!InstallAppMarkRule(kAppRoutingIpv4) || (ipv6 && !InstallAppMarkRule(kAppRoutingIpv6))) {
    *error = "failed to install cgroup fwmark rule";
    return false;
  }
  if (!InstallMarkedTraffic(
          AppRoutingMarkedTraffic(kAppRoutingIpv4, policy.mode, tun_name, default_route)) ||
      (ipv6 && !InstallMarkedTraffic(AppRoutingMarkedTraffic(kAppRoutingIpv6, policy.mode,
                                                             tun_name, default_route6)))) {
    *error = "failed to install source NAT for app routing";
    return false;
  }
  RefreshAppRoutingCgroupMembership(policy);
  return true;
}

// The TUN name passed the screen in CheckAppRoutingInputs.
bool InstallAppGuard(const std::string& tun_name, std::string* error) {
  return RunPieceCommands(AppGuardInstallCommands(kAppRoutingIpv4, tun_name), true, error) &&
         (!KernelHasIpv6() ||
          RunPieceCommands(AppGuardInstallCommands(kAppRoutingIpv6, tun_name), true, error));
}

bool ApplyAppRoutingPolicy(const AppRoutingPolicy& policy, const std::string& tun_name,
                           const DefaultRouteInfo& default_route,
                           const DefaultRouteInfo& default_route6, std::string* error,
                           bool route_follows) {
  if (!policy.enabled || policy.mode == "disabled") return true;
  if (!CheckAppRoutingInputs(policy, tun_name, default_route, route_follows, error)) return false;
  if (!EnsureAppRoutingCgroup(error)) return false;
  // Start from a clean slate so that applying twice leaves one copy of each
  // piece; the cleanup removes the group, so it is made again afterwards.
  CleanupAppRoutingPolicy();
  g_app_routing_stop.exchange(false);
  if (!EnsureAppRoutingCgroup(error)) return false;
  return InstallAppRoutingPieces(policy, tun_name, default_route, default_route6, {}, error);
}
