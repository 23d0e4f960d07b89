#include "approuting/app_guard.h"

#include "approuting/markers.h"
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

}  // namespace

std::vector<std::string> AppGuardInstallCommands(const AppRoutingFamily& family,
                                                 const std::string& tun_name) {
  const std::string mangle = Mangle(family);
  const std::string chain = kAppGuardChain;
  const std::string append = mangle + "-A " + chain;
  return {
      mangle + "-F " + chain + kQuietSuffix + " || " + mangle + "-N " + chain,
      append + " -o lo -j RETURN",
      append + " -o " + tun_name + " -j RETURN",
      append + " -j DROP",
      // First in POSTROUTING, before any rule that might accept the packet.
      mangle + "-C POSTROUTING " + JumpRule() + kQuietSuffix + " || " + mangle +
          "-I POSTROUTING 1 " + JumpRule(),
  };
}

std::vector<std::string> AppGuardCleanupCommands(const AppRoutingFamily& family) {
  const std::string mangle = Mangle(family);
  const std::string chain = kAppGuardChain;
  return {mangle + "-D POSTROUTING " + JumpRule() + kQuietSuffix,
          mangle + "-F " + chain + kQuietSuffix, mangle + "-X " + chain + kQuietSuffix};
}
