#include "approuting/policy_cleanup.h"

#include <unistd.h>

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "approuting/cgroup_location.h"
#include "approuting/markers.h"
#include "approuting/member_origins.h"
#include "approuting/membership.h"
#include "lifecycle/shell.h"
#include "lifecycle/status_line.h"
#include "lifecycle/text_utils.h"
#include "routing/marked_traffic.h"

namespace {

// rmdir fails while the group holds a process, and a member that forks
// while it is handed back leaves the children it made meanwhile in the
// group: hand back and remove in rounds, each reading the membership
// afresh. The kernel refuses every hand-back when the parent has
// controllers enabled for its children; the rounds then end, and the group
// stays for a later call.
constexpr int kRemoveGroupRounds = 5;

bool HandBackAndRemoveAppCgroup() {
  bool removed = false;
  for (int round = 0; round < kRemoveGroupRounds && !removed; ++round) {
    HandBackAppCgroupMembers();
    // Gone also when there was none to remove.
    removed = RunShellCommand("rmdir " + g_app_cgroup_fs_dir + kQuietSuffix) == 0 ||
              access(g_app_cgroup_fs_dir.c_str(), F_OK) != 0;
  }
  ForgetMemberOrigins();
  return removed;
}

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
  if (own_group_valid && !HandBackAndRemoveAppCgroup()) {
    PrintErrorLine("failed to remove app routing cgroup " + g_app_cgroup_fs_dir +
                   ": it is not empty");
  }
  RunShellCommand(std::string("rmdir ") + kCgroupMountPoint + "/" + kOlderAppCgroupMatchPath + kQuietSuffix);
  RunShellCommand(std::string("rmdir ") + kCgroupMountPoint + "/zelmo-vpn" + kQuietSuffix);
}
