#include "recovery/stale_state.h"

#include <string>
#include <vector>

#include "approuting/markers.h"
#include "approuting/policy_cleanup.h"
#include "dns/dns_redirect.h"
#include "killswitch/kill_switch.h"
#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "recovery/stale_listings.h"
#include "routing/default_route.h"
#include "routing/icmp_bypass.h"

namespace {

// Bypass routes carry no marker of their own beyond metric 3 via the
// gateway the run pinned them to. That is the host's default gateway, or,
// when the network changed under the run (and it followed, or crashed in
// the middle of following), a gateway that is no longer the default on a
// device that is still up. The run's own tables name that one: table 100
// holds the ICMP bypass's route, moved last in a move (while the table is
// the bypass's own), and table 1066 the bypassSelected route. A user's metric-3 route via any other gateway is
// never touched. Read before the tables are flushed.
std::vector<DefaultRouteInfo> PinnedGateways() {
  // The default route is read with the mask taken into account: a leftover
  // 0.0.0.0/1 split route on a stale TUN device is not the default route.
  std::vector<DefaultRouteInfo> pinned = {ReadDefaultRoute()};
  // Table 100 counts only while it holds nothing but the bypass's route:
  // another owner's gateway there says nothing about the helper's routes.
  const std::string icmp_table = ExecCommandOutput("ip -4 route show table 100 2>/dev/null");
  if (IsIcmpBypassTableFree(icmp_table)) pinned.push_back(ParsePinnedDefaultRoute(icmp_table));
  pinned.push_back(ParsePinnedDefaultRoute(
      ExecCommandOutput(std::string("ip -4 route show default table ") + kBypassTable)));
  std::vector<DefaultRouteInfo> usable;
  for (const DefaultRouteInfo& route : pinned) {
    // Both values come from the host's tables and go into commands.
    if (!IsUsableDefaultRoute(route)) continue;
    bool seen = false;
    for (const DefaultRouteInfo& kept : usable) {
      seen = seen || (kept.gateway == route.gateway && kept.dev == route.dev);
    }
    if (!seen) usable.push_back(route);
  }
  return usable;
}

void RemoveStaleBypassRoutes(const std::vector<DefaultRouteInfo>& pinned) {
  const std::string listing = ExecCommandOutput("ip -4 route show");
  for (const DefaultRouteInfo& gateway : pinned) {
    for (const std::string& destination : ParseStaleBypassDestinations(listing, gateway)) {
      RunShellCommand("ip route del " + destination + " via " + gateway.gateway + " dev " +
                      gateway.dev + " metric 3" + kQuietSuffix);
    }
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
  // A restore while READY puts the jump back at rule 1 before it deletes
  // the one a foreign rule had pushed down: killed in between, a run leaves
  // two. Each pass deletes one; the second also deletes the chain, which
  // the first could not while it was still referenced.
  CleanupKillSwitchPolicy();
  // While the TUN devices are still there to have route_localnet put back.
  CleanupDnsRedirect();
  const std::vector<DefaultRouteInfo> pinned = PinnedGateways();
  // The bypass removal names no gateway or device, so an empty route will do.
  CleanupIcmpBypass(DefaultRouteInfo{});
  CleanupAppRoutingPolicy();
  RemoveStaleBypassRoutes(pinned);
  RemoveStaleTunDevices();
}
