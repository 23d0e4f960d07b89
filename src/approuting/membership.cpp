#include "approuting/membership.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "approuting/ascii.h"
#include "approuting/cgroup_location.h"
#include "approuting/markers.h"
#include "lifecycle/stop_signal.h"
#include "lifecycle/text_utils.h"

std::atomic<bool> g_app_routing_stop{false};

namespace {

constexpr auto kMonitorPeriod = std::chrono::milliseconds(750);

std::string ReadExeLink(const std::string& pid_text) {
  char target[4096] = {};
  const ssize_t length = readlink(("/proc/" + pid_text + "/exe").c_str(), target, sizeof(target) - 1);
  if (length <= 0) return {};
  return std::string(target, static_cast<size_t>(length));
}

// A membership file takes one process ID per write; each gets its own open,
// so one refused ID (a kernel thread, an exited process) costs only itself.
void MoveIntoAppCgroup(const std::string& pid_text) {
  ResolveAppRoutingCgroupPaths();
  const int fd = open((g_app_cgroup_fs_dir + kCgroupProcsFile).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)!write(fd, pid_text.data(), pid_text.size());
  close(fd);
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

void RefreshAppRoutingCgroupMembership(const AppRoutingPolicy& policy) {
  const std::set<std::string> wanted = BuildWantedNameSet(policy.apps);
  if (wanted.empty()) return;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  while (const dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const long parsed = std::strtol(entry->d_name, nullptr, 10);
    const int pid = static_cast<int>(parsed);
    if (pid < 1) continue;
    const std::string pid_text = std::to_string(pid);
    const std::string comm_text = ReadFileToString("/proc/" + pid_text + "/comm");
    const std::string exe_link = ReadExeLink(pid_text);
    if (IsWantedProcess(comm_text, exe_link, wanted)) MoveIntoAppCgroup(pid_text);
  }
  closedir(proc);
}

void AppRoutingCgroupMonitor(AppRoutingPolicy policy) {
  while (!g_app_routing_stop.load() && g_should_stop.load() == 0) {
    RefreshAppRoutingCgroupMembership(policy);
    // sleep_for resumes after a signal for the time that remains.
    std::this_thread::sleep_for(kMonitorPeriod);
  }
}
