#include "recovery/pinned_routes.h"

#include "approuting/markers.h"
#include "lifecycle/owned_route.h"
#include "lifecycle/shell.h"
#include "recovery/stale_listings.h"
#include "routing/icmp_bypass.h"
#include "routing/ipv6_support.h"
#include "routing/tun_routes.h"

namespace {

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

}  // namespace

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

std::vector<std::string> UnwantedPinDestinations(const std::vector<std::string>& destinations,
                                                 bool ipv6, const ResolvedAddresses& endpoint,
                                                 const std::vector<std::string>& bypass_prefixes) {
  std::vector<std::string> unwanted;
  for (const std::string& destination : destinations) {
    // A listed pin is in the main table with the pins' metric (PinnedRoute
    // writes it); whether it is wanted is the watch's own test.
    const RouteKey key = KeyOfRoute(ipv6, "", "", destination, PinnedRoute(ipv6, "", {}).metric);
    if (!IsPinnedRoute(key, endpoint, bypass_prefixes)) unwanted.push_back(destination);
  }
  return unwanted;
}

void RemovePinnedRoutes(const PinnedRoutes& pinned, const ResolvedAddresses& keep_endpoint,
                        const std::vector<std::string>& keep_prefixes) {
  if (!pinned.ipv4.empty()) {
    const std::string listing = ExecCommandOutput("ip -4 route show");
    for (const DefaultRouteInfo& route : pinned.ipv4) {
      for (const std::string& destination :
           UnwantedPinDestinations(ParseStaleBypassDestinations(listing, route), false,
                                   keep_endpoint, keep_prefixes)) {
        RunShellCommand(RouteCommand("del", PinnedRoute(false, destination, route)) + kQuietSuffix);
      }
    }
  }
  if (!pinned.ipv6.empty()) {
    const std::string listing = ExecCommandOutput("ip -6 route show");
    for (const DefaultRouteInfo& route : pinned.ipv6) {
      for (const std::string& address :
           UnwantedPinDestinations(ParseStaleEndpointRoutes6(listing, route), true,
                                   keep_endpoint, keep_prefixes)) {
        RunShellCommand(RouteCommand("del", PinnedRoute(true, address + "/128", route)) + kQuietSuffix);
      }
    }
  }
}

void RemoveOtherServersPins(const ResolvedAddresses& endpoint,
                            const std::vector<std::string>& bypass_prefixes) {
  RemovePinnedRoutes(FindPinnedRoutes(), endpoint, bypass_prefixes);
}
