#pragma once

#include <map>
#include <string>
#include <vector>

// Where the run mode found each process it moved into the group. Teardown
// hands a member back there instead of to the group's parent: a program a
// user started in a scope of their own must not land in the helper's
// service cgroup, where stopping the service would kill it.
struct MemberOrigin {
  std::string cgroup_dir;
  // Tells the remembered process from a later one with the same ID.
  unsigned long long start_time = 0;
};

// Keyed by process ID. Written by the main thread (the pass inside the
// apply) and then only by the monitor thread; read at teardown after the
// monitor is joined. Thread start and join order the accesses, so there is
// no lock. The remove mode never fills it.
extern std::map<int, MemberOrigin> g_app_member_origins;

struct ProcessStat {
  int parent_id = 0;
  unsigned long long start_time = 0;
};

// The parent's ID and the start time out of a /proc/PID/stat text.
bool ParseProcessStat(const std::string& stat_text, ProcessStat* stat);

void RememberMemberOrigin(int process_id, const std::string& cgroup_dir);
// Drops the processes that are gone; `live_ids` is sorted.
void ForgetExitedMemberOrigins(const std::vector<int>& live_ids);

// Hands every member the group's membership file lists now back: to the
// cgroup it came from, or, for a member forked inside the group, to where
// its nearest remembered ancestor came from; to the group's parent where
// nothing is remembered or that cgroup is gone or refuses. The origins are
// kept for a further round (a member may fork meanwhile).
void HandBackAppCgroupMembers();
void ForgetMemberOrigins();
