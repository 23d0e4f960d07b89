#include "killswitch/lockdown.h"

#include <linux/netfilter.h>

#include "killswitch/guard_devices.h"
#include "lifecycle/shell.h"

LockdownBlockInputs ReadLockdownBlockInputs(bool allow_lan) {
  LockdownBlockInputs inputs;
  // No TUN device to leave out: the block trusts none.
  const KillSwitchDevices devices =
      ReadKillSwitchDevices("", [](const ListedRoute&) { return false; });
  inputs.local_bridges = devices.local_bridges;
  inputs.on_link4 = devices.on_link4;
  inputs.on_link6 = devices.on_link6;
  inputs.allow_lan = allow_lan;
  return inputs;
}

bool ApplyLockdownBlock(const LockdownBlockInputs& inputs, std::string* error) {
  if (RunShellCommand(LockdownBlockInstallCommand(LockdownBlockLines(inputs))) == 0) return true;
  *error = std::string("lockdown block failed: nft -f - could not install table inet ") +
           kLockdownBlockTable;
  return false;
}

NfTablesPresence ProbeLockdownBlock() { return ProbeNfTablesTable(NFPROTO_INET, kLockdownBlockTable); }

bool LockdownBlockStands() {
  switch (ProbeLockdownBlock()) {
    case NfTablesPresence::kPresent:
      return true;
    case NfTablesPresence::kAbsent:
      return false;
    case NfTablesPresence::kUnknown:
      break;
  }
  std::string listing;
  return ReadListing(LockdownBlockListCommand(), &listing);
}

bool RemoveLockdownBlock(std::string* error) {
  if (!LockdownBlockStands()) return true;
  RunShellCommand(LockdownBlockRemoveCommand());
  if (!LockdownBlockStands()) return true;
  *error = std::string("lockdown block failed: cannot remove table inet ") + kLockdownBlockTable;
  return false;
}
