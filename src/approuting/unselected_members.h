#pragma once

#include <set>
#include <string>
#include <vector>

#include "approuting/policy.h"

// The members of a killed run's group that a new policy does not select,
// for a start that keeps the group (policy_takeover.h).

struct GroupMember {
  int process_id = 0;
  int parent_id = 0;
  std::string comm_text;  // /proc/PID/comm
  std::string exe_link;   // /proc/PID/exe
};

// The members to hand back: those that are no wanted process and have no
// wanted ancestor among the members (a selected program's children were
// born in the group and belong there as long as they run under it).
std::vector<int> UnselectedMembers(const std::vector<GroupMember>& members,
                                   const std::set<std::string>& wanted);

// Reads the group's members from /proc and writes those UnselectedMembers
// names into the group's parent: the killed run's memory of where they
// came from is gone, as in the cleanup mode.
void HandBackUnselectedMembers(const AppRoutingPolicy& policy);
