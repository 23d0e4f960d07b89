#pragma once

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "approuting/policy.h"

// The monitor thread's stop request; written only on the main thread.
extern std::atomic<bool> g_app_routing_stop;

// The selected names as compared: ASCII letters lowered, nothing trimmed.
std::set<std::string> BuildWantedNameSet(const std::vector<std::string>& apps);
// Whether a process with this comm file text and this exe link text is one
// of the wanted applications (by command name, or by the executable's file
// name; whole-text, case-insensitive).
bool IsWantedProcess(const std::string& comm_text, const std::string& exe_link,
                     const std::set<std::string>& wanted);

// The target of /proc/PID/exe; empty where it cannot be read.
std::string ReadExeLink(const std::string& pid_text);

// The process IDs /proc lists, ascending.
std::vector<int> ListProcessIds();
// The process IDs of a cgroup membership file text, ascending.
std::vector<int> ParseProcessIdList(const std::string& cgroup_procs_text);
// Writes one process ID into a cgroup's membership file; true when the
// kernel took it.
bool WriteCgroupMember(const std::string& cgroup_dir, const std::string& process_id);

// Reads the process's names from /proc and, when it is one of the wanted
// applications, moves it into the app-routing cgroup (remembering where it
// came from), and with it its wanted children that it forked before the
// move. Returns whether it matched, moved or not.
bool MoveIfWantedProcess(int process_id, const std::set<std::string>& wanted);
// Checks each of these processes as above; the IDs that matched go to
// `matched`, in the same order, when it is given.
void RunMembershipPass(const std::set<std::string>& wanted, const std::vector<int>& process_ids,
                       std::vector<int>* matched);

// One pass over /proc: moves every running process of the selected
// applications into the app-routing cgroup. Only adds; never fails.
void RefreshAppRoutingCgroupMembership(const AppRoutingPolicy& policy);
