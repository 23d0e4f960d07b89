#include "approuting/cgroup_location.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "approuting/markers.h"
#include "killswitch/safe_token.h"
#include "lifecycle/text_utils.h"

std::string g_app_cgroup_match_path;
std::string g_app_cgroup_fs_dir;
std::string g_app_cgroup_parent_fs_dir;

namespace {

constexpr size_t kMaxMatchPathLength = 512;

// The own path: the first "0::" line, without blanks and without slashes
// at either end ("/" alone becomes empty, the cgroup root).
std::string OwnCgroupPath(const std::string& proc_self_cgroup_text) {
  const size_t line_start = FindUnifiedCgroupLine(proc_self_cgroup_text);
  if (line_start == std::string::npos) return {};
  const size_t line_end = proc_self_cgroup_text.find('\n', line_start);
  std::string path = Trim(proc_self_cgroup_text.substr(
      line_start + 3, line_end == std::string::npos ? std::string::npos : line_end - line_start - 3));
  if (path.size() > 1 && path[0] == '/') path.erase(0, 1);
  path = Trim(path);
  const size_t first = path.find_first_not_of('/');
  if (first == std::string::npos) return {};
  path.erase(0, first);
  path.erase(path.find_last_not_of('/') + 1);
  return path;
}

// The safe-word character set over a text longer than a safe word.
bool HasOnlySafeShellBytes(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return IsSafeShellByte(static_cast<unsigned char>(c)); });
}

// A helper outside its cgroup namespace's root sees its own path as
// "/../x"; such a path names no group below the root and, joined to the
// mount point, would reach directories outside the cgroup filesystem.
bool HasDotComponent(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string component = path.substr(start, end - start);
    if (component == "." || component == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

size_t FindUnifiedCgroupLine(const std::string& proc_cgroup_text) {
  size_t line_start = 0;
  while (line_start < proc_cgroup_text.size()) {
    if (proc_cgroup_text.compare(line_start, 3, "0::") == 0) return line_start;
    const size_t line_end = proc_cgroup_text.find('\n', line_start);
    if (line_end == std::string::npos) break;
    line_start = line_end + 1;
  }
  return std::string::npos;
}

std::string JoinPath(const std::string& base, const std::string& child) {
  if (base.empty()) return child;
  if (base.back() == '/') return base + child;
  return base + "/" + child;
}

AppCgroupPaths DeriveAppCgroupPaths(const std::string& proc_self_cgroup_text) {
  const std::string own_path = OwnCgroupPath(proc_self_cgroup_text);
  // Keep everything up to and including the first "/app.slice", even when
  // that component goes on ("app.slice-extra" is cut after "app.slice").
  const std::string marker = "/app.slice";
  const size_t marker_at = own_path.find(marker);
  const std::string base =
      marker_at == std::string::npos ? own_path : own_path.substr(0, marker_at + marker.size());

  AppCgroupPaths paths;
  paths.match_path = JoinPath(base, kAppCgroupName);
  paths.parent_fs_dir = base.empty() ? kCgroupMountPoint : JoinPath(kCgroupMountPoint, base);
  paths.fs_dir = JoinPath(kCgroupMountPoint, paths.match_path);
  return paths;
}

void ResolveAppRoutingCgroupPaths() {
  if (!g_app_cgroup_fs_dir.empty() && !g_app_cgroup_match_path.empty()) return;
  const AppCgroupPaths paths = DeriveAppCgroupPaths(ReadFileToString("/proc/self/cgroup"));
  g_app_cgroup_match_path = paths.match_path;
  g_app_cgroup_parent_fs_dir = paths.parent_fs_dir;
  g_app_cgroup_fs_dir = paths.fs_dir;
}

std::string ProcessCgroupDir(const std::string& proc_pid_cgroup_text) {
  const size_t line_start = FindUnifiedCgroupLine(proc_pid_cgroup_text);
  if (line_start == std::string::npos) return {};
  // The entry must end the text: a cgroup name may hold a line feed, and a
  // name made to look like a second line must not pass for a path.
  std::string path = proc_pid_cgroup_text.substr(line_start + 3);
  if (!path.empty() && path.back() == '\n') path.pop_back();
  if (path == "/") return kCgroupMountPoint;
  // Outside the reader's cgroup namespace the kernel shows "/../x"; that,
  // an empty component or a control byte names no group below the mount.
  if (path.size() < 2 || path[0] != '/' || path.back() == '/' ||
      path.find("//") != std::string::npos || HasDotComponent(path.substr(1))) {
    return {};
  }
  const bool has_control_byte = std::any_of(path.begin(), path.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
  if (has_control_byte) return {};
  return kCgroupMountPoint + path;
}

bool IsValidAppCgroupMatchPath(const std::string& match_path) {
  // The path goes unquoted into iptables commands: only safe characters.
  if (match_path.empty() || match_path.size() > kMaxMatchPathLength) return false;
  if (!HasOnlySafeShellBytes(match_path)) return false;
  return !HasDotComponent(match_path);
}

bool EnsureAppRoutingCgroup(std::string* error) {
  ResolveAppRoutingCgroupPaths();
  if (g_app_cgroup_fs_dir.empty() || !IsValidAppCgroupMatchPath(g_app_cgroup_match_path)) {
    *error = "invalid cgroup path for app routing";
    return false;
  }
  // One level only: the parent is the helper's own (or its slice's) group
  // and must already exist.
  if (mkdir(g_app_cgroup_fs_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error =
        "failed to create app routing cgroup; enable cgroup v2 delegation for the user session or "
        "run the helper through a root-owned service";
    return false;
  }
  // Opening the membership file for appending proves that processes can be
  // moved in later, before any rule depends on it.
  const int fd = open((g_app_cgroup_fs_dir + kCgroupProcsFile).c_str(),
                      O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error =
        "app routing cgroup is not writable; enable cgroup v2 delegation for the user session or "
        "run the helper through a root-owned service";
    return false;
  }
  close(fd);
  return true;
}
