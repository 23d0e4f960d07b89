#include "approuting/policy_cleanup.h"

#include <algorithm>

#include "approuting/cgroup_location.h"
#include "approuting/markers.h"
#include "approuting/member_origins.h"
#include "approuting/membership.h"
#include "approuting/policy_apply.h"
#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"

namespace {

constexpr size_t kMaxRuleTextLength = 2048;

// A listed rule is the safe-word set plus the blanks between its words and
// the "=" of some match options.
bool IsRuleTextCharacter(char c) {
  return IsSafeShellByte(static_cast<unsigned char>(c)) || c == ' ' || c == '=';
}

// iptables lists a cgroup path holding a slash in double quotes
// (--path "user.slice/app.slice/zelmo-vpn-app-routing") and accepts it back
// unquoted. Drop the quotes only when they are the only two in the rule
// and enclose exactly the word after "--path "; any other quote keeps the
// line out of the shell.
std::string UnquoteCgroupPath(const std::string& rule) {
  if (std::count(rule.begin(), rule.end(), '"') != 2) return rule;
  const std::string option = "--path \"";
  size_t at = rule.find(option);
  while (at != std::string::npos && at > 0 && rule[at - 1] != ' ') at = rule.find(option, at + 1);
  if (at == std::string::npos) return rule;
  const size_t open_quote = at + option.size() - 1;
  const size_t close_quote = rule.find('"', open_quote + 1);
  if (close_quote == std::string::npos) return rule;
  const bool whole_word = close_quote + 1 == rule.size() || rule[close_quote + 1] == ' ';
  const std::string word = rule.substr(open_quote + 1, close_quote - open_quote - 1);
  if (!whole_word || word.empty() || word.find_first_of(" \\") != std::string::npos) return rule;
  return rule.substr(0, open_quote) + word + rule.substr(close_quote + 1);
}

}  // namespace

std::vector<std::string> StaleMarkRuleDeleteCommands(const std::string& listing) {
  const std::string rule_prefix = "-A OUTPUT ";
  std::vector<std::string> commands;
  for (const std::string& line : SplitLines(listing)) {
    if (line.compare(0, rule_prefix.size(), rule_prefix) != 0) continue;
    if (line.find(kAppCgroupName) == std::string::npos ||
        line.find("-m cgroup") == std::string::npos || line.find("-j MARK") == std::string::npos) {
      continue;
    }
    // Screen: the listed rule goes back into a shell command as it stands.
    const std::string rule = UnquoteCgroupPath(line.substr(rule_prefix.size()));
    if (rule.empty() || rule.size() > kMaxRuleTextLength ||
        !std::all_of(rule.begin(), rule.end(), IsRuleTextCharacter)) {
      continue;
    }
    commands.push_back("iptables -t mangle -D OUTPUT " + rule + kQuietSuffix);
  }
  return commands;
}

void CleanupAppRoutingPolicy() {
  g_app_routing_stop.exchange(true);
  ResolveAppRoutingCgroupPaths();
  for (const std::string& command :
       StaleMarkRuleDeleteCommands(ExecCommandOutput("iptables -t mangle -S OUTPUT 2>/dev/null"))) {
    RunShellCommand(command);
  }
  // Screen: the group's path comes from /proc/self/cgroup, where a cgroup
  // name may hold any character; a path that fails it cannot have been
  // created by the helper, so there is nothing of it to remove.
  const bool own_group_valid = IsValidAppCgroupMatchPath(g_app_cgroup_match_path);
  if (own_group_valid) {
    RunShellCommand(AppMarkRuleCommand("-D", g_app_cgroup_match_path) + kQuietSuffix);
  }
  RunShellCommand(AppMarkRuleCommand("-D", kOlderAppCgroupMatchPath) + kQuietSuffix);
  // One delete per table: of several identical rules, each call removes one.
  for (const char* table : {kBypassTable, kTunnelOnlyTable}) {
    RunShellCommand(std::string("ip rule del fwmark ") + kAppPacketMark + " lookup " + table + kQuietSuffix);
  }
  for (const char* table : {kBypassTable, kTunnelOnlyTable}) {
    RunShellCommand(std::string("ip route flush table ") + table + kQuietSuffix);
  }
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
