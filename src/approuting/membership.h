#pragma once

#include <atomic>
#include <set>
#include <string>

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

// One pass over /proc: moves every running process of the selected
// applications into the app-routing cgroup. Only adds; never fails.
void RefreshAppRoutingCgroupMembership(const AppRoutingPolicy& policy);
// Thread body: a pass every 750 ms until g_app_routing_stop or the
// helper's stop flag is set.
void AppRoutingCgroupMonitor(AppRoutingPolicy policy);
