#include "approuting/membership.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "approuting/ascii.h"
#include "approuting/cgroup_location.h"
#include "approuting/markers.h"
#include "approuting/member_origins.h"
#include "lifecycle/text_utils.h"

std::atomic<bool> g_app_routing_stop{false};

std::string ReadExeLink(const std::string& pid_text) {
  char target[4096] = {};
  const ssize_t length = readlink(("/proc/" + pid_text + "/exe").c_str(), target, sizeof(target) - 1);
  if (length <= 0) return {};
  return std::string(target, static_cast<size_t>(length));
}

namespace {

bool IsSameOrBelow(const std::string& dir, const std::string& ancestor) {
  return dir.compare(0, ancestor.size(), ancestor) == 0 &&
         (dir.size() == ancestor.size() || dir[ancestor.size()] == '/');
}

// True when the process was moved now (not when it was a member already
// or the kernel refused it).
bool MoveIntoAppCgroup(int process_id, const std::string& pid_text) {
  ResolveAppRoutingCgroupPaths();
  const std::string current_dir =
      ProcessCgroupDir(ReadFileToString("/proc/" + pid_text + "/cgroup"));
  // A member already: writing it again changes nothing but still takes
  // the kernel's migration lock.
  if (current_dir == g_app_cgroup_fs_dir) return false;
  if (!WriteCgroupMember(g_app_cgroup_fs_dir, pid_text)) return false;
  // A group below ours goes with ours; there is nothing to return to.
  if (!current_dir.empty() && !IsSameOrBelow(current_dir, g_app_cgroup_fs_dir)) {
    RememberMemberOrigin(process_id, current_dir);
  }
  return true;
}

// The children of every thread of the process.
std::vector<int> ChildProcessIds(const std::string& pid_text) {
  std::vector<int> children;
  const std::string task_dir = "/proc/" + pid_text + "/task";
  DIR* tasks = opendir(task_dir.c_str());
  if (tasks == nullptr) return children;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::vector<int> of_thread = ParseProcessIdList(
        ReadFileToString(task_dir + "/" + entry->d_name + "/children"));
    children.insert(children.end(), of_thread.begin(), of_thread.end());
  }
  closedir(tasks);
  return children;
}

constexpr int kMaxForkDepth = 32;

bool MoveIfWantedProcessAtDepth(int process_id, const std::set<std::string>& wanted, int depth) {
  const std::string pid_text = std::to_string(process_id);
  const std::string comm_text = ReadFileToString("/proc/" + pid_text + "/comm");
  const std::string exe_link = ReadExeLink(pid_text);
  if (!IsWantedProcess(comm_text, exe_link, wanted)) return false;
  // A child forked before the move stayed behind, and one that never execs
  // sends no event: the children of a process just moved are checked now.
  // Those forked after the move are born in the group.
  if (MoveIntoAppCgroup(process_id, pid_text) && depth < kMaxForkDepth) {
    for (const int child : ChildProcessIds(pid_text)) {
      MoveIfWantedProcessAtDepth(child, wanted, depth + 1);
    }
  }
  return true;
}

}  // namespace

std::set<std::string> BuildWantedNameSet(const std::vector<std::string>& apps) {
  std::set<std::string> wanted;
  for (const std::string& app : apps) wanted.insert(LowerAscii(app));
  return wanted;
}

bool IsWantedProcess(const std::string& comm_text, const std::string& exe_link,
                     const std::set<std::string>& wanted) {
  const std::string command_name = LowerAscii(Trim(comm_text));
  // A replaced or removed executable reads ".../name (deleted)" and then
  // matches by its command name only.
  const size_t last_slash = exe_link.rfind('/');
  const std::string exe_name =
      LowerAscii(last_slash == std::string::npos ? exe_link : exe_link.substr(last_slash + 1));
  return (!command_name.empty() && wanted.count(command_name) > 0) ||
         (!exe_name.empty() && wanted.count(exe_name) > 0);
}

std::vector<int> ListProcessIds() {
  std::vector<int> process_ids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return process_ids;
  while (const dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const long parsed = std::strtol(entry->d_name, nullptr, 10);
    const int pid = static_cast<int>(parsed);
    if (pid >= 1) process_ids.push_back(pid);
  }
  closedir(proc);
  std::sort(process_ids.begin(), process_ids.end());
  return process_ids;
}

std::vector<int> ParseProcessIdList(const std::string& cgroup_procs_text) {
  std::vector<int> process_ids;
  std::istringstream tokens(cgroup_procs_text);
  for (long pid = 0; tokens >> pid;) {
    if (pid >= 1 && pid <= 0x7fffffff) process_ids.push_back(static_cast<int>(pid));
  }
  std::sort(process_ids.begin(), process_ids.end());
  return process_ids;
}

// A membership file takes one process ID per write; each gets its own open,
// so one refused ID (a kernel thread, an exited process) costs only itself.
bool WriteCgroupMember(const std::string& cgroup_dir, const std::string& process_id) {
  const int fd = open((cgroup_dir + kCgroupProcsFile).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool taken =
      write(fd, process_id.data(), process_id.size()) == static_cast<ssize_t>(process_id.size());
  close(fd);
  return taken;
}

bool MoveIfWantedProcess(int process_id, const std::set<std::string>& wanted) {
  return MoveIfWantedProcessAtDepth(process_id, wanted, 0);
}

void RunMembershipPass(const std::set<std::string>& wanted, const std::vector<int>& process_ids,
                       std::vector<int>* matched) {
  for (const int pid : process_ids) {
    if (MoveIfWantedProcess(pid, wanted) && matched != nullptr) matched->push_back(pid);
  }
}

void RefreshAppRoutingCgroupMembership(const AppRoutingPolicy& policy) {
  const std::set<std::string> wanted = BuildWantedNameSet(policy.apps);
  if (wanted.empty()) return;
  RunMembershipPass(wanted, ListProcessIds(), nullptr);
}
