#include "killswitch/kill_switch.h"

#include <sys/wait.h>

#include "killswitch/kill_switch_commands.h"
#include "killswitch/firewall_save.h"
#include "killswitch/kill_switch_guard.h"
#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"

namespace {

// Stops at the first failing command; the caller then removes whatever the
// earlier commands built.
bool RunKillSwitchCommands(const std::vector<std::string>& commands, std::string* error) {
  for (const std::string& command : commands) {
    if (!RunKillSwitchCommand(command, error)) return false;
  }
  return true;
}

}  // namespace

bool RunKillSwitchCommand(const std::string& command, std::string* error) {
  if (RunShellCommand(command) == 0) return true;
  *error = "kill switch command failed: " + command;
  return false;
}

bool ApplyKillSwitchPolicy(const KillSwitchInputs& inputs, std::string* error) {
  // The TUN name comes from the engine configuration and goes unquoted into
  // the rules; an unsafe one is refused before anything on the host changes.
  if (!IsSafeShellToken(inputs.tun_name)) {
    *error = "invalid TUN interface name for kill switch";
    return false;
  }
  // Starting from nothing makes a second apply, or one after a crashed run,
  // leave exactly one chain and one jump per family.
  CleanupKillSwitchPolicy();
  if (!RunKillSwitchCommands(BuildKillSwitchIpv4Commands(inputs), error)) {
    CleanupKillSwitchPolicy();
    return false;
  }
  if (!WantsIpv6KillSwitch(inputs)) return true;
  if (!RunKillSwitchCommands(BuildKillSwitchIpv6Commands(inputs), error)) {
    // Both families come down, the complete IPv4 chain included: a failed
    // apply leaves no chain and no jump anywhere.
    CleanupKillSwitchPolicy();
    return false;
  }
  return true;
}

bool ReplaceKillSwitchPolicy(const KillSwitchInputs& inputs, std::string* error) {
  if (!IsSafeShellToken(inputs.tun_name)) {
    *error = "invalid TUN interface name for kill switch";
    return false;
  }
  struct Family {
    const char* tool;
    std::vector<std::string> rules;
  };
  std::vector<Family> families = {{"iptables", KillSwitchIpv4Rules(inputs)}};
  if (WantsIpv6KillSwitch(inputs)) families.push_back({"ip6tables", KillSwitchIpv6Rules(inputs)});
  for (const Family& family : families) {
    const std::string tool = family.tool;
    std::string listing;
    // Unreadable, the firewall shows no jump: the restore then adds one and
    // deletes none, which a listing that failed cannot make worse.
    if (!ReadListing(FirewallSaveCommand(tool), &listing)) listing.clear();
    // Screen: the rules are the chain's own, built from screened inputs.
    const std::string command = FeedLinesCommand(
        BuildKillSwitchReplaceLines(family.rules, CountKillSwitchJumps(listing)),
        tool + "-restore --noflush");
    if (!RunKillSwitchCommand(command, error)) return false;
  }
  return true;
}

KillSwitchGuardResult ApplyKillSwitchGuard(const KillSwitchInputs& inputs, std::string* error) {
  // The names go into the table's rules between quotes.
  if (!IsSafeShellToken(inputs.tun_name)) {
    *error = "invalid TUN interface name for kill switch";
    return KillSwitchGuardResult::kFailed;
  }
  // Both tables of the guard in one transaction.
  const std::string command = KillSwitchGuardStartCommand(inputs);
  const int status = RunShellCommand(command);
  if (status == 0) return KillSwitchGuardResult::kInstalled;
  // One transaction: a failed install leaves whatever was there before,
  // which the apply of the chain has just removed.
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == kCommandNotFoundStatus) {
    return KillSwitchGuardResult::kNoNft;
  }
  *error = "kill switch command failed: " + command;
  return KillSwitchGuardResult::kFailed;
}

void CleanupKillSwitchPolicy() {
  for (const std::string& command : BuildKillSwitchCleanupCommands()) {
    RunShellCommand(command);
  }
}
