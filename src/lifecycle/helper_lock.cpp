#include "lifecycle/helper_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <linux/if_tun.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "lifecycle/text_utils.h"

namespace {

// The lock's descriptor once taken; the fork handler closes it in children.
int g_helper_lock_fd = -1;

// A holder that is not a running helper lets go within moments: a killed
// helper's descriptors are released as it exits (a release that can wait
// for the kernel's routing lock while the engine's device goes too), and a
// child of a helper drops its copy at its exec. Two seconds is ample for
// both and short for a client waiting on a refusal.
constexpr std::chrono::milliseconds kHolderWait{2000};
constexpr std::chrono::milliseconds kLookInterval{50};

enum class LockAttempt { kCreated, kBusy, kUnavailable, kFailed };

// A child forked without exec (an engine's worker process) would hold the
// lock for as long as it lives, and a killed helper's worker would keep
// every later start and cleanup out. fork() runs this in the child; close()
// is async-signal-safe. Children started through posix_spawn or vfork exec,
// and close-on-exec drops the descriptor there.
void CloseLockInChild() {
  if (g_helper_lock_fd >= 0) close(g_helper_lock_fd);
  g_helper_lock_fd = -1;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool ProcessHoldsDevice(const std::string& pid, const std::string& name) {
  const std::string fdinfo_dir = "/proc/" + pid + "/fdinfo";
  DIR* dir = opendir(fdinfo_dir.c_str());
  if (dir == nullptr) return false;
  bool holds = false;
  while (dirent* entry = readdir(dir)) {
    if (!IsAllDigits(entry->d_name)) continue;
    if (FdInfoNamesTunDevice(ReadFileToString(fdinfo_dir + "/" + entry->d_name), name)) {
      holds = true;
      break;
    }
  }
  closedir(dir);
  return holds;
}

// Best effort: the processes of this network namespace that have the device
// open, found through the fdinfo the kernel keeps for TUN descriptors. Only
// processes the helper may inspect are seen.
std::vector<LockHolder> FindDeviceHolders(const std::string& name) {
  std::vector<LockHolder> holders;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return holders;
  const std::string own_pid = std::to_string(getpid());
  while (dirent* entry = readdir(proc)) {
    if (!IsAllDigits(entry->d_name) || own_pid == entry->d_name) continue;
    const std::string dir = std::string("/proc/") + entry->d_name;
    if (!ProcessHoldsDevice(entry->d_name, name) ||
        !SameFile("/proc/self/ns/net", dir + "/ns/net")) {
      continue;
    }
    LockHolder holder;
    holder.pid = std::atoi(entry->d_name);
    holder.command = ParseProcComm(ReadFileToString(dir + "/comm"));
    holder.helper = SameFile("/proc/self/exe", dir + "/exe");
    holders.push_back(holder);
  }
  closedir(proc);
  return holders;
}

LockAttempt CreateLockDevice(int* fd, std::string* error) {
  *fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (*fd < 0) {
    const int saved = errno;
    // A device node this user may not open (mode 0600 where the helper runs
    // under the file capability): the lock cannot be taken, but one that
    // exists is still seen.
    if (if_nametoindex(kHelperLockDevice) != 0) return LockAttempt::kBusy;
    *error = std::string("cannot open /dev/net/tun: ") + std::strerror(saved);
    if (saved == ENOENT || saved == ENODEV || saved == ENXIO || saved == EACCES || saved == EPERM) {
      return LockAttempt::kUnavailable;
    }
    return LockAttempt::kFailed;
  }
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, kHelperLockDevice, IFNAMSIZ - 1);
  if (ioctl(*fd, TUNSETIFF, &request) != 0) {
    // EBUSY: the device is attached to another descriptor, the lock is
    // held. Anything else (a device of that name of another kind, say) is
    // no helper's, but the lock cannot be had either.
    const int saved = errno;
    close(*fd);
    *fd = -1;
    if (saved == EBUSY) return LockAttempt::kBusy;
    *error = std::string("cannot create ") + kHelperLockDevice + ": " + std::strerror(saved);
    return LockAttempt::kFailed;
  }
  // A persistent device of that name left by someone else is attached now;
  // dropping persistence makes it vanish with this descriptor all the same.
  ioctl(*fd, TUNSETPERSIST, 0);
  return LockAttempt::kCreated;
}

}  // namespace

bool FdInfoNamesTunDevice(const std::string& fdinfo_text, const std::string& name) {
  std::istringstream lines(fdinfo_text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, 4, "iff:") == 0) return Trim(line.substr(4)) == name;
  }
  return false;
}

std::string ParseProcComm(const std::string& comm_text) {
  std::string command = comm_text;
  if (!command.empty() && command.back() == '\n') command.pop_back();
  for (char& c : command) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  return command;
}

LockHolder PickLockHolder(const std::vector<LockHolder>& holders,
                          const std::vector<int>& helpers_before, bool* settled) {
  *settled = false;
  LockHolder picked;
  for (const LockHolder& holder : holders) {
    if (!holder.helper) continue;
    if (std::find(helpers_before.begin(), helpers_before.end(), holder.pid) !=
        helpers_before.end()) {
      *settled = true;
      return holder;
    }
    if (picked.pid == 0) picked = holder;
  }
  if (picked.pid == 0 && !holders.empty()) picked = holders.front();
  return picked;
}

HelperLockOutcome TakeHelperLock(LockHolder* holder, std::string* error) {
  *holder = LockHolder{};
  const auto deadline = std::chrono::steady_clock::now() + kHolderWait;
  std::vector<int> helpers_before;
  for (;;) {
    int fd = -1;
    switch (CreateLockDevice(&fd, error)) {
      case LockAttempt::kCreated:
        g_helper_lock_fd = fd;
        pthread_atfork(nullptr, nullptr, CloseLockInChild);
        return HelperLockOutcome::kTaken;
      case LockAttempt::kUnavailable:
        return HelperLockOutcome::kUnavailable;
      case LockAttempt::kFailed:
        return HelperLockOutcome::kFailed;
      case LockAttempt::kBusy:
        break;
    }
    const std::vector<LockHolder> holders = FindDeviceHolders(kHelperLockDevice);
    bool settled = false;
    const LockHolder picked = PickLockHolder(holders, helpers_before, &settled);
    if (picked.pid != 0) *holder = picked;
    if (settled || std::chrono::steady_clock::now() >= deadline) {
      return HelperLockOutcome::kHeldElsewhere;
    }
    helpers_before.clear();
    for (const LockHolder& seen : holders) {
      if (seen.helper) helpers_before.push_back(seen.pid);
    }
    std::this_thread::sleep_for(kLookInterval);
  }
}
