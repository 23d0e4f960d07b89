#include "approuting/app_guard.h"

#include <algorithm>

#include "approuting/markers.h"
#include "killswitch/rule_listing.h"
#include "lifecycle/shell.h"

namespace {

// The jump's match and target, after "POSTROUTING " (and a rule number).
std::string JumpRule() {
  return std::string("-m mark --mark ") + kAppPacketMark + " -m comment --comment " +
         kAppGuardMarker + " -j " + kAppGuardChain;
}

std::string Mangle(const AppRoutingFamily& family) {
  return std::string(family.firewall) + " -t mangle ";
}

std::vector<std::string> ChainRules(const std::string& tun_name) {
  return {"-o lo -j RETURN", "-o " + tun_name + " -j RETURN", "-j DROP"};
}

}  // namespace

std::vector<std::string> AppGuardInstallCommands(const AppRoutingFamily& family,
                                                 const std::string& tun_name) {
  const std::string mangle = Mangle(family);
  const std::string chain = kAppGuardChain;
  std::vector<std::string> commands = {mangle + "-F " + chain + kQuietSuffix + " || " + mangle +
                                       "-N " + chain};
  for (const std::string& rule : ChainRules(tun_name)) {
    commands.push_back(mangle + "-A " + chain + " " + rule);
  }
  // First in POSTROUTING, before any rule that might accept the packet.
  commands.push_back(mangle + "-C POSTROUTING " + JumpRule() + kQuietSuffix + " || " + mangle +
                     "-I POSTROUTING 1 " + JumpRule());
  return commands;
}

bool ListsAppGuard(const std::string& mangle_listing, const std::string& tun_name) {
  const std::vector<std::string> jumps = ListedChainRules(mangle_listing, "POSTROUTING");
  return ListedChainRules(mangle_listing, kAppGuardChain) == ChainRules(tun_name) &&
         std::find(jumps.begin(), jumps.end(), JumpRule()) != jumps.end();
}

std::vector<std::string> AppGuardCleanupCommands(const AppRoutingFamily& family) {
  const std::string mangle = Mangle(family);
  const std::string chain = kAppGuardChain;
  return {mangle + "-D POSTROUTING " + JumpRule() + kQuietSuffix,
          mangle + "-F " + chain + kQuietSuffix, mangle + "-X " + chain + kQuietSuffix};
}
