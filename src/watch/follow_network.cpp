#include "watch/follow_network.h"

#include "killswitch/guard_devices.h"
#include "watch/late_lookup.h"
#include "watch/owned_pieces.h"

namespace {

// As the start prints it.
std::string DefaultLine(bool ipv6, const DefaultRouteInfo& route) {
  if (ipv6) return Default6StatusLine(route);
  return "INFO: default4 via=" + route.gateway + " dev=" + route.dev;
}

// Table 100 is the bypass's while it holds nothing but the route the
// bypass put there last. A route that merely equals the one it would put
// there now (the main default moved onto a second uplink that the user
// keeps in table 100) is another owner's.
bool IsIcmpTableFree(const std::vector<ListedRoute>& routes4, const DefaultRouteInfo& ours) {
  for (const ListedRoute& route : routes4) {
    if (route.key.table == "100" && !IsIcmpTableRoute(route, ours)) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> NetworkChangeLines(const NetworkView& before, const NetworkView& now,
                                            const std::string& tun_name) {
  std::vector<std::string> lines;
  if (!SameDefaultRoute(before.default4, now.default4)) lines.push_back(DefaultLine(false, now.default4));
  if (!SameDefaultRoute(before.default6, now.default6)) lines.push_back(DefaultLine(true, now.default6));
  // The device is judged by its index: one deleted and made again in one
  // burst is a new device without the routes of the old.
  if (before.tun_ifindex != now.tun_ifindex) {
    if (before.tun_ifindex != 0) lines.push_back("INFO: tun device " + tun_name + " is gone");
    if (now.tun_ifindex != 0) {
      lines.push_back("INFO: tun device " + tun_name + " is back; its routes are installed");
    }
  }
  return lines;
}

bool FollowNetwork(const HostListings& host, const NetworkView& now, bool ask_endpoint_again,
                   int64_t now_ms, TunnelPlan* plan, WatchState* state,
                   std::vector<std::string>* lines) {
  const NetworkView before = state->view;
  const bool moved4 = !SameDefaultRoute(before.default4, now.default4);
  const bool moved6 = !SameDefaultRoute(before.default6, now.default6);
  const bool tun_changed = before.tun_ifindex != now.tun_ifindex;
  for (const std::string& line : NetworkChangeLines(before, now, plan->tun_name)) lines->push_back(line);
  state->view = now;
  plan->default4 = now.default4;
  plan->default6 = now.default6;
  bool changed = moved4 || moved6 || tun_changed;
  if (moved4 || moved6 || ask_endpoint_again) {
    std::string line;
    if (ResolveMissingEndpoint((moved4 || ask_endpoint_again) && IsUsableDefaultRoute(now.default4),
                               (moved6 || ask_endpoint_again) && IsUsableDefaultRoute(now.default6),
                               now_ms, plan, &state->lookup_retry, &line)) {
      lines->push_back(line);
      changed = true;
    }
  }
  // The kill switch judges by the uplinks and the local bridges: they
  // follow the network too.
  if (plan->kill_switch) {
    const DefaultRouteInfo icmp_route = state->icmp_table_route;
    const std::vector<std::string> uplinks =
        UplinkDevices(host.routes4, host.routes6, [plan, &icmp_route](const ListedRoute& route) {
          return IsOwnedRoute(route, *plan, icmp_route);
        });
    const KillSwitchDevices devices = KillSwitchDevicesOf(uplinks, host.bridges, plan->tun_name);
    changed |= devices.uplinks != plan->kill_switch_devices.uplinks ||
               devices.local_bridges != plan->kill_switch_devices.local_bridges;
    plan->kill_switch_devices = devices;
  }
  // A look at the rules or the firewall alone must not take table 100 for
  // free: it would put the bypass's rule back in front of another owner's
  // routes there. So it is judged here, with the routes.
  state->icmp_table_free = IsIcmpTableFree(host.routes4, state->icmp_table_route);
  if (!state->icmp_table_free && IsUsableDefaultRoute(now.default4) &&
      !state->icmp_table_foreign_told) {
    state->icmp_table_foreign_told = true;
    lines->push_back("INFO: ICMP bypass not installed; routing table 100 holds routes of another owner");
  }
  return changed;
}
