#include "recovery/stale_state.h"

#include <string>
#include <vector>

#include "approuting/policy_cleanup.h"
#include "dns/dns_redirect.h"
#include "killswitch/kill_switch.h"
#include "killswitch/lockdown.h"
#include "lifecycle/shell.h"
#include "recovery/pinned_routes.h"
#include "recovery/stale_listings.h"
#include "routing/icmp_bypass.h"
#include "routing/tun_routes.h"

namespace {

// The engine's devices: the split routes go first so that nothing is
// routed into a device that is about to vanish.
void RemoveStaleTunDevices() {
  const std::string listing = ExecCommandOutput("ip -o link show type tun");
  for (const std::string& name : ParseOwnedTunNames(listing)) {
    // The split routes as the start writes them, metric and all, so a
    // user's own route on the device stays.
    for (const bool ipv6 : {false, true}) {
      for (const OwnedRoute& route : SplitOwnedRoutes(name, ipv6)) {
        RunShellCommand(RouteCommand("del", route) + kQuietSuffix);
      }
    }
    RunShellCommand("ip link delete " + name + kQuietSuffix);
  }
}

}  // namespace

// The kill switch goes first, so the host can reach the network again even
// if a later step hangs.
void CleanupZelmoOwnedState() {
  // A killed run under lockdown left its block dormant: it judges again
  // before the kill switch goes, so there is no moment without either.
  // Asked without a command where the kernel can tell, so a host without
  // one runs no command more.
  if (LockdownBlockStands()) RunShellCommand(LockdownBlockWakeCommand());
  CleanupKillSwitchPolicy();
  // Each pass deletes one jump: a helper of an earlier version, killed in
  // the middle of putting its jump back first, left two.
  CleanupKillSwitchPolicy();
  // While the TUN devices are still there to have route_localnet put back.
  CleanupDnsRedirect();
  // Read before the tables that name the pinned routes are flushed.
  const PinnedRoutes pinned = FindPinnedRoutes();
  CleanupStaleIcmpBypass();
  CleanupAppRoutingPolicy();
  RemovePinnedRoutes(pinned, {}, {});
  RemoveStaleTunDevices();
}
