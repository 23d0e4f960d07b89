#pragma once

#include <string>

// One helper per network namespace. The lock is a TUN device of a fixed name
// that the helper creates without making it persistent: only a process with
// CAP_NET_ADMIN can create it, so an ordinary user cannot squat the name;
// it lives in the network namespace whose routes the helper changes; and the
// kernel deletes it when its last file descriptor closes, however the
// process ends, so no file is kept and a killed helper never blocks the next.
constexpr const char* kHelperLockDevice = "zelmo-vpn-lock";

enum class HelperLockOutcome {
  kTaken,
  // Another process holds the device; `holder_pid` is set when it was found.
  kHeldElsewhere,
  // No TUN device can be made here (no TUN support, or a device node this
  // user may not open) and no lock device exists: nothing holds the lock,
  // and no engine of this user can make a tunnel either. `error` says why.
  kUnavailable,
  // Anything else; `error` says what.
  kFailed,
};

// Takes the lock for the rest of the process's life (the descriptor is
// close-on-exec and never closed). `holder_pid` is 0 when unknown.
HelperLockOutcome TakeHelperLock(int* holder_pid, std::string* error);

// True when a /proc/PID/fdinfo/FD text belongs to a TUN descriptor attached
// to the device `name` (the kernel writes an "iff:" line for those).
bool FdInfoNamesTunDevice(const std::string& fdinfo_text, const std::string& name);
