#include "approuting/policy_apply.h"

#include "approuting/cgroup_location.h"
#include "approuting/markers.h"
#include "approuting/membership.h"
#include "approuting/policy_cleanup.h"
#include "killswitch/safe_token.h"
#include "routing/default_route.h"
#include "lifecycle/shell.h"

namespace {

std::string RoutingRuleCommand(const std::string& table) {
  return std::string("ip rule add fwmark ") + kAppPacketMark + " lookup " + table + " priority " +
         kAppRulePriority + kQuietSuffix;
}
}  // namespace

std::vector<std::string> AppRoutingRouteCommands(const std::string& mode,
                                                 const std::string& tun_name,
                                                 const DefaultRouteInfo& default_route) {
  // The route commands keep their diagnostics visible on the helper's
  // standard error; their outcome is not examined.
  if (mode == "bypassSelected") {
    return {"ip route replace default via " + default_route.gateway + " dev " + default_route.dev +
                " table " + kBypassTable,
            RoutingRuleCommand(kBypassTable)};
  }
  if (mode == "vpnOnlySelected") {
    // The rule keeps priority 1066 for this table too.
    return {"ip route replace default dev " + tun_name + " table " + kTunnelOnlyTable,
            RoutingRuleCommand(kTunnelOnlyTable)};
  }
  return {};
}

std::string AppMarkRuleCommand(const std::string& action, const std::string& match_path) {
  return "iptables -t mangle " + action + " OUTPUT -m cgroup --path " + match_path +
         " -j MARK --set-mark " + kAppPacketMark;
}

bool ApplyAppRoutingPolicy(const AppRoutingPolicy& policy, const std::string& tun_name,
                           const DefaultRouteInfo& default_route, std::string* error) {
  if (!policy.enabled || policy.mode == "disabled") return true;
  if (policy.apps.empty()) {
    *error = "selected app routing requires at least one app";
    return false;
  }
  // Screens: the TUN name and the default route go unquoted into commands.
  if (!IsSafeShellToken(tun_name)) {
    *error = "invalid TUN interface name for app routing";
    return false;
  }
  if (policy.mode == "bypassSelected" && !IsUsableDefaultRoute(default_route)) {
    *error = "original default route is unavailable for app bypass";
    return false;
  }
  if (!EnsureAppRoutingCgroup(error)) return false;
  // Start from a clean slate so that applying twice leaves one copy of each
  // piece; the cleanup removes the group, so it is made again afterwards.
  CleanupAppRoutingPolicy();
  g_app_routing_stop.exchange(false);
  if (!EnsureAppRoutingCgroup(error)) return false;

  const std::vector<std::string> route_commands =
      AppRoutingRouteCommands(policy.mode, tun_name, default_route);
  if (route_commands.empty()) {
    *error = "unsupported app routing mode";
    return false;
  }
  for (const std::string& command : route_commands) RunShellCommand(command);

  // The match path passed the cgroup path screen in EnsureAppRoutingCgroup.
  if (RunShellCommand(AppMarkRuleCommand("-C", g_app_cgroup_match_path) + kQuietSuffix) != 0 &&
      RunShellCommand(AppMarkRuleCommand("-A", g_app_cgroup_match_path)) != 0) {
    *error = "failed to install cgroup fwmark rule";
    return false;
  }
  RefreshAppRoutingCgroupMembership(policy);
  return true;
}
