#pragma once

#include <string>
#include <vector>

// One helper per network namespace. The lock is a TUN device of a fixed name
// that the helper creates without making it persistent: only a process with
// CAP_NET_ADMIN can create it, so an ordinary user cannot squat the name;
// it lives in the network namespace whose routes the helper changes; and the
// kernel deletes it when its last file descriptor closes, however the
// process ends, so no file is kept and a killed helper never blocks the next.
constexpr const char* kHelperLockDevice = "zelmo-vpn-lock";

// A process found holding the lock device.
struct LockHolder {
  int pid = 0;  // 0: none was found
  // Its command name, made printable.
  std::string command;
  // It runs the same executable as this process: a helper, or a child of
  // one between its start and its exec.
  bool helper = false;
};

enum class HelperLockOutcome {
  kTaken,
  // Another process holds the device; `holder` names it when it was found.
  kHeldElsewhere,
  // No TUN device can be made here (no TUN support, or a device node this
  // user may not open) and no lock device exists: nothing holds the lock,
  // and no engine of this user can make a tunnel either. `error` says why.
  kUnavailable,
  // Anything else; `error` says what.
  kFailed,
};

// Takes the lock for the rest of the process's life. No other process keeps
// it: the descriptor is close-on-exec, and a child forked without exec (the
// engine's workers) closes it at once. A lock held by anything but a running
// helper (the last moments of a killed one, a child of one between its
// start and its exec) is waited for, two seconds at most.
HelperLockOutcome TakeHelperLock(LockHolder* holder, std::string* error);

// True when a /proc/PID/fdinfo/FD text belongs to a TUN descriptor attached
// to the device `name` (the kernel writes an "iff:" line for those).
bool FdInfoNamesTunDevice(const std::string& fdinfo_text, const std::string& name);

// The command name from a /proc/PID/comm text, fit for a status line: the
// kernel's line feed dropped, any byte that is not printable ASCII (a
// process may name itself anything) shown as '?'.
std::string ParseProcComm(const std::string& comm_text);

// Which of the holders of one look a refusal names, preferring a helper;
// `settled` is set when that helper also held the lock at the look before
// (`helpers_before`), the sign of a running helper rather than a child of
// one on its way to exec.
LockHolder PickLockHolder(const std::vector<LockHolder>& holders,
                          const std::vector<int>& helpers_before, bool* settled);
