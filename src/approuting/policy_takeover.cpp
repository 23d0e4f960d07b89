#include "approuting/policy_takeover.h"

#include <sys/socket.h>

#include <vector>

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "approuting/cgroup_location.h"
#include "approuting/markers.h"
#include "approuting/membership.h"
#include "approuting/policy_apply.h"
#include "approuting/unselected_members.h"
#include "killswitch/rule_listing.h"
#include "lifecycle/policy_rule_dump.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"
#include "routing/ipv6_support.h"
#include "routing/marked_traffic.h"

namespace {

void RunAll(const std::vector<std::string>& commands) {
  for (const std::string& command : commands) RunShellCommand(command);
}

// Whether the mode's rule of the family stands. Where the kernel cannot
// tell, the rule is deleted so that its add cannot be refused: the guard,
// or the tunnel for a bypassed program, covers the moment without it.
bool RuleInPlace(const AppRoutingFamily& family, int address_family, const std::string& mode) {
  std::vector<DumpedRule> rules;
  if (DumpPolicyRules(static_cast<uint8_t>(address_family), &rules)) {
    return HoldsRule(rules, AppRoutingOwnedRule(family, mode), 0);
  }
  RunShellCommand(AppRoutingRuleDeleteCommand(family, AppRoutingOwnedRule(family, mode).table));
  return false;
}

// A "bypassSelected" table without a route to write would keep the killed
// run's, through a gateway that may be gone.
void ClearTableWithoutRoute(const AppRoutingFamily& family, const std::string& mode,
                            const DefaultRouteInfo& default_route) {
  if (mode == "bypassSelected" && !IsUsableDefaultRoute(default_route)) {
    RunShellCommand(AppRoutingTableFlushCommand(family, kBypassTable));
  }
}

void RemoveOtherMode(const AppRoutingFamily& family, const std::string& mode) {
  const std::string other_table = mode == "bypassSelected" ? kTunnelOnlyTable : kBypassTable;
  RunShellCommand(AppRoutingRuleDeleteCommand(family, other_table));
  RunShellCommand(AppRoutingTableFlushCommand(family, other_table));
}

// The group's own mark rule stays; those of groups of the helper's name
// elsewhere go, as in the cleanup.
void RemoveOtherMarkRules(const AppRoutingFamily& family) {
  std::string others;
  for (const std::string& line : SplitLines(ExecCommandOutput(
           std::string(family.firewall) + " -t mangle -S OUTPUT 2>/dev/null"))) {
    std::string path = ListedRuleOption(line, "--path");
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') path = path.substr(1, path.size() - 2);
    if (path != g_app_cgroup_match_path) others += line + "\n";
  }
  RunAll(StaleMarkRuleDeleteCommands(family, others));
}

std::string MarkedDevice(const AppRoutingFamily& family, const std::string& mode,
                         const std::string& tun_name, const DefaultRouteInfo& default_route) {
  const auto traffic = AppRoutingMarkedTraffic(family, mode, tun_name, default_route);
  return traffic ? traffic->device : std::string();
}

}  // namespace

bool TakeOverAppRoutingPolicy(const AppRoutingPolicy& policy, const std::string& tun_name,
                              const DefaultRouteInfo& default_route,
                              const DefaultRouteInfo& default_route6, std::string* error,
                              bool route_follows) {
  if (!policy.enabled || policy.mode == "disabled") return true;
  if (!CheckAppRoutingInputs(policy, tun_name, default_route, route_follows, error)) return false;
  if (AppRoutingOwnedRule(kAppRoutingIpv4, policy.mode).table.empty()) {
    *error = "unsupported app routing mode";
    return false;
  }
  // Made only where the killed run's is gone; kept otherwise.
  if (!EnsureAppRoutingCgroup(error)) return false;
  const bool ipv6 = KernelHasIpv6();
  AppRoutingInPlace in_place;
  if (policy.mode == "vpnOnlySelected") {
    if (!InstallAppGuard(tun_name, error)) return false;
    in_place.guard = true;
  }
  ClearTableWithoutRoute(kAppRoutingIpv4, policy.mode, default_route);
  in_place.rule4 = RuleInPlace(kAppRoutingIpv4, AF_INET, policy.mode);
  if (ipv6) {
    ClearTableWithoutRoute(kAppRoutingIpv6, policy.mode, default_route6);
    in_place.rule6 = RuleInPlace(kAppRoutingIpv6, AF_INET6, policy.mode);
  }
  HandBackUnselectedMembers(policy);
  g_app_routing_stop.exchange(false);
  if (!InstallAppRoutingPieces(policy, tun_name, default_route, default_route6, in_place, error)) {
    return false;
  }

  RemoveOtherMode(kAppRoutingIpv4, policy.mode);
  RemoveOtherMarkRules(kAppRoutingIpv4);
  RunShellCommand(AppMarkRuleCommand(kAppRoutingIpv4, "-D", kOlderAppCgroupMatchPath) + kQuietSuffix);
  CleanupMarkedTraffic("iptables", kAppRoutingMarker,
                       MarkedDevice(kAppRoutingIpv4, policy.mode, tun_name, default_route));
  if (ipv6) {
    RemoveOtherMode(kAppRoutingIpv6, policy.mode);
    RemoveOtherMarkRules(kAppRoutingIpv6);
    CleanupMarkedTraffic("ip6tables", kAppRoutingMarker,
                         MarkedDevice(kAppRoutingIpv6, policy.mode, tun_name, default_route6));
  }
  if (policy.mode != "vpnOnlySelected") {
    RunAll(AppGuardCleanupCommands(kAppRoutingIpv4));
    RunAll(AppGuardCleanupCommands(kAppRoutingIpv6));
  }
  return true;
}
