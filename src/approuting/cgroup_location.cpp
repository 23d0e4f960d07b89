#include "approuting/cgroup_location.h"

// Not built yet: arrives with the app-routing work.
std::string g_app_cgroup_match_path;
std::string g_app_cgroup_fs_dir;
std::string g_app_cgroup_parent_fs_dir;
AppCgroupPaths DeriveAppCgroupPaths(const std::string&) { return {}; }
void ResolveAppRoutingCgroupPaths() {}
std::string JoinPath(const std::string&, const std::string&) { return {}; }
bool EnsureAppRoutingCgroup(std::string*) { return false; }
