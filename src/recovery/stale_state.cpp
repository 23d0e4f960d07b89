#include "recovery/stale_state.h"

#include <string>
#include <vector>

#include "approuting/markers.h"
#include "approuting/policy_cleanup.h"
#include "dns/dns_redirect.h"
#include "killswitch/kill_switch.h"
#include "lifecycle/shell.h"
#include "recovery/stale_listings.h"
#include "routing/default_route.h"
#include "routing/icmp_bypass.h"
#include "routing/ipv6_support.h"
#include "routing/tun_routes.h"

namespace {

// Bypass routes carry no marker of their own beyond metric 3 over the
// default route the run pinned them to. That is the host's default route,
// or, when the network changed under the run (and it followed, or crashed
// in the middle of following), one that is no longer the default on a
// device that is still up. The run's own tables name that one: table 100
// holds the ICMP bypass's route, moved last in a move (while the table is
// the bypass's own), and table 1066 the bypassSelected route, in each
// family. A user's metric-3 route over any other default route is never
// touched. Read before the tables are flushed.
struct PinnedRoutes {
  std::vector<DefaultRouteInfo> ipv4;
  std::vector<DefaultRouteInfo> ipv6;
};

void AddPinnedRoute(const DefaultRouteInfo& route, std::vector<DefaultRouteInfo>* routes) {
  // Both values come from the host's tables and go into commands.
  if (!IsUsableDefaultRoute(route)) return;
  for (const DefaultRouteInfo& kept : *routes) {
    if (SameDefaultRoute(kept, route)) return;
  }
  routes->push_back(route);
}

// A table lists an IPv4 route without a gateway as "default dev DEVICE";
// the start has it as "0.0.0.0", and so do the deletes here.
DefaultRouteInfo AsIpv4Record(DefaultRouteInfo route) {
  if (route.gateway.empty() && !route.dev.empty()) route.gateway = "0.0.0.0";
  return route;
}

PinnedRoutes FindPinnedRoutes() {
  PinnedRoutes pinned;
  // The default route is read with the mask taken into account: a leftover
  // 0.0.0.0/1 split route on a stale TUN device is not the default route.
  AddPinnedRoute(ReadDefaultRoute(), &pinned.ipv4);
  // Table 100 counts only while it is the bypass's: another owner's
  // gateway there says nothing about the helper's routes.
  AddPinnedRoute(AsIpv4Record(ReadOwnedIcmpBypassRoute()), &pinned.ipv4);
  // Quiet: on a host that never ran a policy the table does not exist.
  const std::string bypass_table = std::string("default table ") + kBypassTable + " 2>/dev/null";
  AddPinnedRoute(AsIpv4Record(ParsePinnedDefaultRoute(ExecCommandOutput("ip -4 route show " +
                                                                        bypass_table))),
                 &pinned.ipv4);
  if (KernelHasIpv6()) {
    AddPinnedRoute(ReadDefaultRouteV6(), &pinned.ipv6);
    AddPinnedRoute(ParsePinnedDefaultRoute(ExecCommandOutput("ip -6 route show " + bypass_table)),
                   &pinned.ipv6);
  }
  return pinned;
}

// With nothing pinned anywhere there is nothing to look for: the listing
// is skipped.
void RemoveStaleBypassRoutes(const PinnedRoutes& pinned) {
  if (!pinned.ipv4.empty()) {
    const std::string listing = ExecCommandOutput("ip -4 route show");
    for (const DefaultRouteInfo& route : pinned.ipv4) {
      for (const std::string& destination : ParseStaleBypassDestinations(listing, route)) {
        RunShellCommand(RouteCommand("del", PinnedRoute(false, destination, route)) + kQuietSuffix);
      }
    }
  }
  if (!pinned.ipv6.empty()) {
    const std::string listing = ExecCommandOutput("ip -6 route show");
    for (const DefaultRouteInfo& route : pinned.ipv6) {
      for (const std::string& address : ParseStaleEndpointRoutes6(listing, route)) {
        RunShellCommand(RouteCommand("del", PinnedRoute(true, address + "/128", route)) + kQuietSuffix);
      }
    }
  }
}

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
  CleanupKillSwitchPolicy();
  // Each pass deletes one jump: a helper of an earlier version, killed in
  // the middle of putting its jump back first, left two.
  CleanupKillSwitchPolicy();
  // While the TUN devices are still there to have route_localnet put back.
  CleanupDnsRedirect();
  const PinnedRoutes pinned = FindPinnedRoutes();
  CleanupStaleIcmpBypass();
  CleanupAppRoutingPolicy();
  RemoveStaleBypassRoutes(pinned);
  RemoveStaleTunDevices();
}
