#include "watch/follow_network.h"

#include <algorithm>

#include "killswitch/guard_devices.h"
#include "killswitch/safe_token.h"
#include "watch/late_lookup.h"
#include "watch/owned_pieces.h"

namespace {

// A listed text as a status line may show it: bytes outside the safe set
// (a device name may hold any) as '?'.
std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text) shown += IsSafeShellByte(static_cast<unsigned char>(c)) || c == ' ' ? c : '?';
  return shown;
}

// A destination the run keeps around the tunnel itself (the server, a
// bypass prefix), whatever route leads there.
bool IsPinnedDestination(const RouteKey& key, const TunnelPlan& plan) {
  for (const std::string& address : key.ipv6 ? plan.endpoint.ipv6 : plan.endpoint.ipv4) {
    if (CanonicalDestination(key.ipv6, address) == key.destination) return true;
  }
  for (const std::string& prefix : plan.bypass_prefixes) {
    if (!key.ipv6 && CanonicalDestination(false, prefix) == key.destination) return true;
  }
  return false;
}

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
  } else if (now.tun_ifindex != 0 && before.tun_addresses_read && now.tun_addresses_read) {
    const struct {
      bool had;
      bool has;
      const char* family;
    } families[] = {{before.tun_address4, now.tun_address4, "IPv4"},
                    {before.tun_address6, now.tun_address6, "IPv6"}};
    for (const auto& f : families) {
      if (f.had && !f.has) lines.push_back("INFO: tun device " + tun_name + " has no " + f.family + " address");
      if (!f.had && f.has) {
        lines.push_back("INFO: tun device " + tun_name + " has an " + f.family + " address again");
      }
    }
  }
  return lines;
}

std::vector<std::string> RoutesAroundTunnel(const std::vector<ListedRoute>& routes4,
                                            const std::vector<ListedRoute>& routes6,
                                            const std::vector<std::string>& uplinks,
                                            const TunnelPlan& plan, bool ipv6_split) {
  std::vector<std::string> found;
  if (!plan.tun_routes) return found;
  for (const std::vector<ListedRoute>* routes : {&routes4, &routes6}) {
    if (routes == &routes6 && !ipv6_split) continue;
    for (const ListedRoute& route : *routes) {
      const RouteKey& key = route.key;
      if (key.table != "main" || key.type != "unicast" || route.gateway.empty() ||
          key.destination == "0.0.0.0/0" || key.destination == "::/0" ||
          std::find(uplinks.begin(), uplinks.end(), route.dev) == uplinks.end() ||
          IsOwnedRoute(route, plan, {}) || IsPinnedDestination(key, plan)) {
        continue;
      }
      found.push_back(Shown(key.destination + " via " + route.gateway + " dev " + route.dev));
    }
  }
  return found;
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
  const DefaultRouteInfo icmp_route = state->icmp_table_route;
  const std::vector<std::string> uplinks =
      UplinkDevices(host.routes4, host.routes6, [plan, &icmp_route](const ListedRoute& route) {
        return IsOwnedRoute(route, *plan, icmp_route);
      });
  for (const std::string& route : RoutesAroundTunnel(host.routes4, host.routes6, uplinks, *plan,
                                                     IsUsableDefaultRoute(now.default6))) {
    if (state->routes_around_told.insert(route).second) {
      lines->push_back("INFO: route " + route + " takes traffic around the tunnel");
    }
  }
  // The kill switch judges by the uplinks, their networks and the local
  // bridges: they follow the network too.
  if (plan->kill_switch) {
    KillSwitchDevices devices = KillSwitchDevicesOf(uplinks, host.bridges, plan->tun_name);
    AddOnLinkNetworks(host.routes4, host.routes6, &devices);
    changed |= !SameKillSwitchDevices(devices, plan->kill_switch_devices);
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
