#include "approuting/unselected_members.h"

#include <map>

#include "approuting/cgroup_location.h"
#include "approuting/markers.h"
#include "approuting/member_origins.h"
#include "approuting/membership.h"
#include "lifecycle/text_utils.h"

namespace {

// Enough for any real process tree; a bound in case the parents loop.
constexpr int kMaxAncestors = 64;

}  // namespace

std::vector<int> UnselectedMembers(const std::vector<GroupMember>& members,
                                   const std::set<std::string>& wanted) {
  std::map<int, const GroupMember*> by_id;
  for (const GroupMember& member : members) by_id[member.process_id] = &member;
  std::vector<int> unselected;
  for (const GroupMember& member : members) {
    const GroupMember* at = &member;
    bool selected = false;
    for (int depth = 0; depth < kMaxAncestors && at != nullptr && !selected; ++depth) {
      selected = IsWantedProcess(at->comm_text, at->exe_link, wanted);
      const auto parent = by_id.find(at->parent_id);
      at = parent == by_id.end() ? nullptr : parent->second;
    }
    if (!selected) unselected.push_back(member.process_id);
  }
  return unselected;
}

void HandBackUnselectedMembers(const AppRoutingPolicy& policy) {
  ResolveAppRoutingCgroupPaths();
  std::vector<GroupMember> members;
  for (const int process_id :
       ParseProcessIdList(ReadFileToString(g_app_cgroup_fs_dir + kCgroupProcsFile))) {
    const std::string pid_text = std::to_string(process_id);
    ProcessStat stat;
    // One that exited meanwhile needs no hand-back.
    if (!ParseProcessStat(ReadFileToString("/proc/" + pid_text + "/stat"), &stat)) continue;
    members.push_back({process_id, stat.parent_id, ReadFileToString("/proc/" + pid_text + "/comm"),
                       ReadExeLink(pid_text)});
  }
  for (const int process_id : UnselectedMembers(members, BuildWantedNameSet(policy.apps))) {
    WriteCgroupMember(g_app_cgroup_parent_fs_dir, std::to_string(process_id));
  }
}
