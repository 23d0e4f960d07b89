#include "lifecycle/capability.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "lifecycle/status_line.h"
#include "lifecycle/text_utils.h"

namespace {
constexpr uint64_t kNetAdminBit = uint64_t{1} << CAP_NET_ADMIN;
}

std::string FindProcStatusValue(const std::string& status_text, const std::string& key) {
  const std::string prefix = key + ":";
  std::istringstream lines(status_text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    const size_t start = line.find_first_not_of(" \t", prefix.size());
    return start == std::string::npos ? std::string() : line.substr(start);
  }
  return {};
}

std::string ReadProcStatusValue(const std::string& key) {
  return FindProcStatusValue(ReadFileToString("/proc/self/status"), key);
}

bool ParseCapabilityMask(const std::string& text, uint64_t* mask) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(begin, &end, 16);
  if (end == begin || errno == ERANGE) return false;
  *mask = value;
  return true;
}

bool CheckNetAdminCapability() {
  const std::string effective = ReadProcStatusValue("CapEff");
  const std::string permitted = ReadProcStatusValue("CapPrm");
  const std::string no_new_privs = ReadProcStatusValue("NoNewPrivs");
  PrintStatusLine("INFO: helper pid=" + std::to_string(getpid()) + " CapPrm=" + permitted +
                  " CapEff=" + effective + " NoNewPrivs=" + no_new_privs);

  uint64_t mask = 0;
  if (effective.empty() || !ParseCapabilityMask(effective, &mask) || (mask & kNetAdminBit) == 0) {
    PrintStatusLine("ERROR: CAP_NET_ADMIN is not effective in helper process");
    return false;
  }

  // Raw system calls rather than libcap: the helper needs exactly one bit.
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  bool raised = syscall(SYS_capget, &header, data) == 0;
  if (raised) {
    data[0].inheritable |= 1u << CAP_NET_ADMIN;
    raised = syscall(SYS_capset, &header, data) == 0;
  }
  // An ambient capability survives execve of ordinary programs, so ip and
  // iptables started through the shell hold CAP_NET_ADMIN as well.
  if (raised) raised = prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_ADMIN, 0, 0) == 0;
  if (!raised) {
    PrintStatusLine("ERROR: failed to enable ambient CAP_NET_ADMIN");
    return false;
  }
  return true;
}
