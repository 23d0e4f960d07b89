#include "lifecycle/helper_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "lifecycle/text_utils.h"

namespace {

bool IsAllDigits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

bool SameNetworkNamespace(const std::string& pid) {
  struct stat own {};
  struct stat other {};
  if (stat("/proc/self/ns/net", &own) != 0) return false;
  if (stat(("/proc/" + pid + "/ns/net").c_str(), &other) != 0) return false;
  return own.st_dev == other.st_dev && own.st_ino == other.st_ino;
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

// Best effort: the process of this network namespace that has the device
// open, found through the fdinfo the kernel keeps for TUN descriptors. Only
// processes the helper may inspect are seen.
int FindDeviceHolder(const std::string& name) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  const std::string own_pid = std::to_string(getpid());
  int holder = 0;
  while (dirent* entry = readdir(proc)) {
    if (!IsAllDigits(entry->d_name) || own_pid == entry->d_name) continue;
    if (ProcessHoldsDevice(entry->d_name, name) && SameNetworkNamespace(entry->d_name)) {
      holder = std::atoi(entry->d_name);
      break;
    }
  }
  closedir(proc);
  return holder;
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

HelperLockOutcome TakeHelperLock(int* holder_pid, std::string* error) {
  *holder_pid = 0;
  const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    const int saved = errno;
    // A device node this user may not open (mode 0600 where the helper runs
    // under the file capability): the lock cannot be taken, but one that
    // exists is still seen.
    if (if_nametoindex(kHelperLockDevice) != 0) {
      *holder_pid = FindDeviceHolder(kHelperLockDevice);
      return HelperLockOutcome::kHeldElsewhere;
    }
    if (saved == ENOENT || saved == ENODEV || saved == ENXIO || saved == EACCES || saved == EPERM) {
      *error = std::string("cannot open /dev/net/tun: ") + std::strerror(saved);
      return HelperLockOutcome::kUnavailable;
    }
    *error = std::string("cannot open /dev/net/tun: ") + std::strerror(saved);
    return HelperLockOutcome::kFailed;
  }
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, kHelperLockDevice, IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &request) != 0) {
    // EBUSY: the device is attached to another descriptor, the lock is
    // held. Anything else (a device of that name of another kind, say) is
    // no helper's, but the lock cannot be had either.
    const int saved = errno;
    close(fd);
    if (saved == EBUSY) {
      *holder_pid = FindDeviceHolder(kHelperLockDevice);
      return HelperLockOutcome::kHeldElsewhere;
    }
    *error = std::string("cannot create ") + kHelperLockDevice + ": " + std::strerror(saved);
    return HelperLockOutcome::kFailed;
  }
  // A persistent device of that name left by someone else is attached now;
  // dropping persistence makes it vanish with this descriptor all the same.
  ioctl(fd, TUNSETPERSIST, 0);
  return HelperLockOutcome::kTaken;
}
