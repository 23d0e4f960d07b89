#pragma once

#include <string>
#include <vector>

#include "killswitch/kill_switch_commands.h"
#include "routing/endpoint.h"

bool RunKillSwitchCommand(const std::string& command, std::string* error);
bool ApplyKillSwitchPolicy(const KillSwitchInputs& inputs, std::string* error);
// For a start that finds a killed run's kill switch: the chain of each
// family replaced in one transaction (BuildKillSwitchReplaceLines, after
// one listing of the family's firewall), so the killed run's stands until
// the new one does. Run the guard's install after it, which replaces its
// table in one transaction too. On failure whatever stood before still
// stands; the error names the command.
bool ReplaceKillSwitchPolicy(const KillSwitchInputs& inputs, std::string* error);

enum class KillSwitchGuardResult {
  kInstalled,
  kNoNft,   // nft is not installed: nothing changed, the chain stands alone
  kFailed,  // the error text names the command; nothing of the guard is left
};
// Installs the guard (kill_switch_guard.h) for inputs whose TUN name passed
// the screen, replacing any earlier one; the run does so right after the
// chain.
KillSwitchGuardResult ApplyKillSwitchGuard(const KillSwitchInputs& inputs, std::string* error);

// Removes the chains of both families and the guard; never fails.
void CleanupKillSwitchPolicy();
