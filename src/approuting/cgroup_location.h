#pragma once

#include <string>

// Filled once per process from /proc/self/cgroup, then only read (also by
// the monitor thread, which starts after the first resolution).
extern std::string g_app_cgroup_match_path;
extern std::string g_app_cgroup_fs_dir;
extern std::string g_app_cgroup_parent_fs_dir;

struct AppCgroupPaths {
  std::string match_path;
  std::string fs_dir;
  std::string parent_fs_dir;
};

// Where the first line that begins with "0::" (the cgroup v2 entry)
// starts in a /proc/PID/cgroup text; npos without one.
size_t FindUnifiedCgroupLine(const std::string& proc_cgroup_text);
// The group's location for a /proc/self/cgroup text: next to the helper's
// own cgroup, under its first "/app.slice" level when it has one.
AppCgroupPaths DeriveAppCgroupPaths(const std::string& proc_self_cgroup_text);
void ResolveAppRoutingCgroupPaths();
std::string JoinPath(const std::string& base, const std::string& child);
// The directory under the mount point of the cgroup a /proc/PID/cgroup
// text names; empty when it names none cleanly below the mount point.
std::string ProcessCgroupDir(const std::string& proc_pid_cgroup_text);
// True for a match path that may go into a shell command and names a real
// group below the cgroup v2 root.
bool IsValidAppCgroupMatchPath(const std::string& match_path);
bool EnsureAppRoutingCgroup(std::string* error);
