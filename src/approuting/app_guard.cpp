#include "approuting/app_guard.h"

#include <algorithm>

#include "approuting/markers.h"
#include "killswitch/rule_listing.h"
#include "lifecycle/shell.h"

namespace {

std::string Mangle(const AppRoutingFamily& family) {
  return std::string(family.firewall) + " -t mangle ";
}

}  // namespace

// The jump's match and target, after "POSTROUTING " (and a rule number).
std::string AppGuardJumpRule() {
  return std::string("-m mark --mark ") + kAppPacketMark + " -m comment --comment " +
         kAppGuardMarker + " -j " + kAppGuardChain;
}

std::vector<std::string> AppGuardChainRules(const std::string& tun_name) {
  return {"-o lo -j RETURN", "-o " + tun_name + " -j RETURN", "-j DROP"};
}

std::vector<std::string> AppGuardInstallCommands(const AppRoutingFamily& family,
                                                 const std::string& tun_name) {
  const std::string mangle = Mangle(family);
  const std::string chain = kAppGuardChain;
  std::vector<std::string> commands = {mangle + "-F " + chain + kQuietSuffix + " || " + mangle +
                                       "-N " + chain};
  for (const std::string& rule : AppGuardChainRules(tun_name)) {
    commands.push_back(mangle + "-A " + chain + " " + rule);
  }
  // First in POSTROUTING, before any rule that might accept the packet.
  commands.push_back(mangle + "-C POSTROUTING " + AppGuardJumpRule() + kQuietSuffix + " || " + mangle +
                     "-I POSTROUTING 1 " + AppGuardJumpRule());
  return commands;
}

std::vector<std::string> AppGuardCleanupCommands(const AppRoutingFamily& family) {
  const std::string mangle = Mangle(family);
  const std::string chain = kAppGuardChain;
  return {mangle + "-D POSTROUTING " + AppGuardJumpRule() + kQuietSuffix,
          mangle + "-F " + chain + kQuietSuffix, mangle + "-X " + chain + kQuietSuffix};
}
