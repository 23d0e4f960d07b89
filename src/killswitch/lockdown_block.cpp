#include "killswitch/lockdown_block.h"

#include "killswitch/kill_switch_guard.h"
#include "killswitch/local_network.h"
#include "killswitch/safe_token.h"
#include "lifecycle/nft_table_commands.h"

namespace {

std::string TableName() { return std::string("inet ") + kLockdownBlockTable; }

// The name of the chain every base chain asks what may leave.
constexpr const char* kAdmittedChain = "admitted";

void AddChain(const std::string& name, const std::vector<std::string>& rules,
              std::vector<std::string>* lines) {
  lines->push_back("chain " + name + " {");
  lines->insert(lines->end(), rules.begin(), rules.end());
  lines->push_back("}");
}

std::vector<std::string> AdmittedRules(const LockdownBlockInputs& inputs) {
  std::vector<std::string> rules = {"oifname \"lo\" accept"};
  // The names go between quotes into the table's rules: the screen is
  // IsSafeShellToken, here and in the reader (guard_devices.h).
  for (const std::string& bridge : inputs.local_bridges) {
    if (IsSafeShellToken(bridge)) rules.push_back("oifname \"" + bridge + "\" accept");
  }
  rules.push_back("jump upkeep");
  if (inputs.allow_lan) rules.push_back(LocalNetworkJump());
  return rules;
}

std::vector<std::string> BaseChain(const std::string& hook, const std::string& verdict) {
  return {"type filter hook " + hook + " priority filter; policy accept;",
          std::string("jump ") + kAdmittedChain, verdict};
}

}  // namespace

std::vector<std::string> LockdownBlockLines(const LockdownBlockInputs& inputs) {
  std::vector<std::string> lines = {"table " + TableName() + " {"};
  if (inputs.dormant) lines.push_back("flags dormant");
  // Chains are listed in the order they are made; those jumped to come first.
  KillSwitchDevices networks;
  networks.on_link4 = inputs.on_link4;
  networks.on_link6 = inputs.on_link6;
  AddChain("upkeep", KillSwitchUpkeepRules(networks), &lines);
  if (inputs.allow_lan) AddChain(kLocalNetworkChain, LocalNetworkTableRules(), &lines);
  AddChain(kAdmittedChain, AdmittedRules(inputs), &lines);
  AddChain("output", BaseChain("output", "reject"), &lines);
  AddChain("forward", BaseChain("forward", "reject"), &lines);
  AddChain("postrouting", BaseChain("postrouting", "drop"), &lines);
  lines.push_back("}");
  return lines;
}

std::string LockdownBlockInstallCommand(const std::vector<std::string>& lines) {
  return NftTableInstallCommand(TableName(), lines);
}

std::string LockdownBlockListCommand() { return NftTableListCommand(TableName()); }

std::string LockdownBlockRemoveCommand() { return NftTableDeleteCommand(TableName()); }

// A table added again without flags loses "dormant": its base chains go
// back on their hooks, in one transaction.
std::string LockdownBlockWakeCommand() { return "nft add table " + TableName(); }
