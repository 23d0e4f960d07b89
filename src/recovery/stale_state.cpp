#include "recovery/stale_state.h"

#include <string>

#include "approuting/policy_cleanup.h"
#include "killswitch/kill_switch.h"
#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "recovery/stale_listings.h"
#include "routing/default_route.h"
#include "routing/icmp_bypass.h"

namespace {

// Bypass routes carry no marker of their own beyond metric 3 via the host's
// default gateway, so they can be found only while that gateway is current.
void RemoveStaleBypassRoutes() {
  // The default route is read with the mask taken into account: a leftover
  // 0.0.0.0/1 split route on a stale TUN device is not the default route.
  const DefaultRouteInfo default4 = ReadDefaultRoute();
  // Both values come from the host's route table and go into commands.
  if (!IsUsableDefaultRoute(default4)) return;
  const std::string listing = ExecCommandOutput("ip -4 route show");
  for (const std::string& destination : ParseStaleBypassDestinations(listing, default4)) {
    RunShellCommand("ip route del " + destination + " via " + default4.gateway + " dev " +
                    default4.dev + " metric 3" + kQuietSuffix);
  }
}

// The engine's devices: the split routes go first so that nothing is
// routed into a device that is about to vanish.
void RemoveStaleTunDevices() {
  const std::string listing = ExecCommandOutput("ip -o link show type tun");
  for (const std::string& name : ParseOwnedTunNames(listing)) {
    // The split routes' metric, so a user's own route on the device stays.
    RunShellCommand("ip route del 0.0.0.0/1 dev " + name + " metric 5" + kQuietSuffix);
    RunShellCommand("ip route del 128.0.0.0/1 dev " + name + " metric 5" + kQuietSuffix);
    RunShellCommand("ip -6 route del ::/1 dev " + name + " metric 5" + kQuietSuffix);
    RunShellCommand("ip -6 route del 8000::/1 dev " + name + " metric 5" + kQuietSuffix);
    RunShellCommand("ip link delete " + name + kQuietSuffix);
  }
}

}  // namespace

// The kill switch goes first, so the host can reach the network again even
// if a later step hangs.
void CleanupZelmoOwnedState() {
  CleanupKillSwitchPolicy();
  // The bypass removal names no gateway or device, so an empty route will do.
  CleanupIcmpBypass(DefaultRouteInfo{});
  CleanupAppRoutingPolicy();
  RemoveStaleBypassRoutes();
  RemoveStaleTunDevices();
}
