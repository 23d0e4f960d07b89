#include "approuting/policy_cleanup.h"

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "approuting/cgroup_location.h"
#include "approuting/markers.h"
#include "approuting/member_origins.h"
#include "approuting/membership.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"
#include "routing/marked_traffic.h"

namespace {

void RunAll(const std::vector<std::string>& commands) {
  for (const std::string& command : commands) RunShellCommand(command);
}

// The listed mark rules of one family, then the group's own one.
void RemoveMarkRules(const AppRoutingFamily& family, bool own_group_valid) {
  const std::string listing = ExecCommandOutput(std::string(family.firewall) +
                                                " -t mangle -S OUTPUT 2>/dev/null");
  RunAll(StaleMarkRuleDeleteCommands(family, listing));
  if (own_group_valid) {
    RunShellCommand(AppMarkRuleCommand(family, "-D", g_app_cgroup_match_path) + kQuietSuffix);
  }
}

}  // namespace

void CleanupAppRoutingPolicy() {
  g_app_routing_stop.exchange(true);
  ResolveAppRoutingCgroupPaths();
  // Screen: the group's path comes from /proc/self/cgroup, where a cgroup
  // name may hold any character; a path that fails it cannot have been
  // created by the helper, so there is nothing of it to remove.
  const bool own_group_valid = IsValidAppCgroupMatchPath(g_app_cgroup_match_path);
  RemoveMarkRules(kAppRoutingIpv4, own_group_valid);
  RunShellCommand(AppMarkRuleCommand(kAppRoutingIpv4, "-D", kOlderAppCgroupMatchPath) + kQuietSuffix);
  RemoveMarkRules(kAppRoutingIpv6, own_group_valid);
  RunAll(AppRoutingRuleDeleteCommands(kAppRoutingIpv4));
  RunAll(AppRoutingRuleDeleteCommands(kAppRoutingIpv6));
  RunAll(AppRoutingTableFlushCommands(kAppRoutingIpv4));
  RunAll(AppRoutingTableFlushCommands(kAppRoutingIpv6));
  // Only once nothing is marked any more.
  RunAll(AppGuardCleanupCommands(kAppRoutingIpv4));
  RunAll(AppGuardCleanupCommands(kAppRoutingIpv6));
  CleanupMarkedTraffic("iptables", kAppRoutingMarker);
  CleanupMarkedTraffic("ip6tables", kAppRoutingMarker);
  ResolveAppRoutingCgroupPaths();
  // Members go back before the group is removed: rmdir fails while a group
  // has processes. The kernel refuses the hand-back when the parent has
  // controllers enabled for its children; the group then stays for a later
  // call.
  if (own_group_valid) {
    HandBackAppCgroupMembers();
    RunShellCommand("rmdir " + g_app_cgroup_fs_dir + kQuietSuffix);
  }
  RunShellCommand(std::string("rmdir ") + kCgroupMountPoint + "/" + kOlderAppCgroupMatchPath + kQuietSuffix);
  RunShellCommand(std::string("rmdir ") + kCgroupMountPoint + "/zelmo-vpn" + kQuietSuffix);
}
