#include "approuting/member_origins.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "approuting/cgroup_location.h"
#include "approuting/markers.h"
#include "approuting/membership.h"
#include "lifecycle/text_utils.h"

std::map<int, MemberOrigin> g_app_member_origins;

namespace {

// Enough for any real process tree; a bound in case /proc changes under us.
constexpr int kMaxAncestors = 64;

bool ReadProcessStat(int process_id, ProcessStat* stat) {
  return ParseProcessStat(ReadFileToString("/proc/" + std::to_string(process_id) + "/stat"), stat);
}

// The membership file lists plain decimal IDs; anything else has no origin.
int ParseProcessIdToken(const std::string& token) {
  if (token.empty() || token.size() > 9) return 0;
  if (!std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; })) return 0;
  return std::stoi(token);
}

std::string OriginOfMember(int process_id) {
  for (int depth = 0; depth < kMaxAncestors && process_id > 1; ++depth) {
    ProcessStat stat;
    if (!ReadProcessStat(process_id, &stat)) return {};
    const auto remembered = g_app_member_origins.find(process_id);
    if (remembered != g_app_member_origins.end() &&
        remembered->second.start_time == stat.start_time) {
      return remembered->second.cgroup_dir;
    }
    process_id = stat.parent_id;
  }
  return {};
}

}  // namespace

bool ParseProcessStat(const std::string& stat_text, ProcessStat* stat) {
  // The command name in parentheses may hold blanks and parentheses of its
  // own; the fields after the last ")" are plain numbers.
  const size_t name_end = stat_text.rfind(')');
  if (name_end == std::string::npos) return false;
  std::istringstream fields(stat_text.substr(name_end + 1));
  std::string state;
  long long parent_id = 0;
  fields >> state >> parent_id;
  // The start time is the 22nd field; 17 more lie between it and the parent.
  std::string skipped;
  for (int field = 0; field < 17; ++field) fields >> skipped;
  unsigned long long start_time = 0;
  fields >> start_time;
  if (!fields || parent_id < 0 || parent_id > 0x7fffffff) return false;
  stat->parent_id = static_cast<int>(parent_id);
  stat->start_time = start_time;
  return true;
}

void RememberMemberOrigin(int process_id, const std::string& cgroup_dir) {
  ProcessStat stat;
  if (!ReadProcessStat(process_id, &stat)) return;
  g_app_member_origins[process_id] = {cgroup_dir, stat.start_time};
}

void ForgetExitedMemberOrigins(const std::vector<int>& live_ids) {
  for (auto it = g_app_member_origins.begin(); it != g_app_member_origins.end();) {
    if (std::binary_search(live_ids.begin(), live_ids.end(), it->first)) {
      ++it;
    } else {
      it = g_app_member_origins.erase(it);
    }
  }
}

void HandBackAppCgroupMembers() {
  const std::string members = ReadFileToString(g_app_cgroup_fs_dir + kCgroupProcsFile);
  if (!members.empty()) {
    // A membership file takes one process ID per write.
    const int parent_fd =
        open((g_app_cgroup_parent_fs_dir + kCgroupProcsFile).c_str(), O_WRONLY | O_CLOEXEC);
    std::istringstream tokens(members);
    for (std::string token; tokens >> token;) {
      const std::string origin = OriginOfMember(ParseProcessIdToken(token));
      if (!origin.empty() && origin != g_app_cgroup_parent_fs_dir &&
          WriteCgroupMember(origin, token)) {
        continue;
      }
      if (parent_fd < 0) continue;
      token += "\n";
      (void)!write(parent_fd, token.data(), token.size());
    }
    if (parent_fd >= 0) close(parent_fd);
  }
}

void ForgetMemberOrigins() { g_app_member_origins.clear(); }
