#include "routing/tun_routes.h"

#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "lifecycle/status_line.h"

// Values placed into the commands below: the TUN name and the default routes
// pass IsSafeShellToken first; endpoint addresses are either literals that
// inet_pton accepted or inet_ntop output; prefixes are canonical
// NormalizeIpv4Cidr output. None of them can carry shell syntax.

namespace {

// The helper's markers on its routes: metric 5 on the split routes, metric
// 3 on the pins.
constexpr const char* kSplitMetric = "5";
constexpr const char* kPinMetric = "3";

void ReportPairFailure(const std::string& what, int first_status, int second_status) {
  if (first_status == 0 && second_status == 0) return;
  PrintErrorLine("RTNETLINK: failed to install " + what + " (code=" + std::to_string(first_status) +
                 "," + std::to_string(second_status) + ")");
}

}  // namespace

OwnedRoute PinnedRoute(bool ipv6, const std::string& destination, const DefaultRouteInfo& route) {
  OwnedRoute pin;
  pin.ipv6 = ipv6;
  pin.destination = destination;
  pin.gateway = route.gateway;
  pin.dev = route.dev;
  pin.metric = kPinMetric;
  return pin;
}

bool ApplyTunRoutes(const std::string& tun_name, const std::string& endpoint_host,
                    const DefaultRouteInfo& default4, const DefaultRouteInfo& default6,
                    const ResolvedAddresses& endpoint,
                    const std::vector<std::string>& bypass_prefixes) {
  if (tun_name.empty()) return false;
  // The name comes from a configuration file an unprivileged user may
  // write, and these commands run with CAP_NET_ADMIN.
  if (!IsSafeShellToken(tun_name)) {
    PrintErrorLine("RTNETLINK: failed to install routes for unsafe TUN interface name");
    return false;
  }
  // Two halves of the address space outrank the default route without
  // replacing it, so the physical path stays recorded in the table.
  const std::vector<OwnedRoute> halves = SplitOwnedRoutes(tun_name, false);
  const int low_half = RunShellCommand(RouteCommand("replace", halves[0]));
  const int high_half = RunShellCommand(RouteCommand("replace", halves[1]));
  ReportPairFailure("default split routes", low_half, high_half);
  if (IsUsableDefaultRoute(default6)) ApplyIpv6SplitRoutes(tun_name);
  ApplyBypassRoutes(endpoint_host, default4, default6, endpoint, bypass_prefixes);
  return true;
}

void ApplyIpv6SplitRoutes(const std::string& tun_name) {
  if (!IsSafeShellToken(tun_name)) return;
  const std::vector<OwnedRoute> halves = SplitOwnedRoutes(tun_name, true);
  const int low_half6 = RunShellCommand(RouteCommand("replace", halves[0]));
  const int high_half6 = RunShellCommand(RouteCommand("replace", halves[1]));
  ReportPairFailure("IPv6 split routes", low_half6, high_half6);
}

void ApplyBypassRoutes(const std::string& endpoint_host, const DefaultRouteInfo& default4,
                       const DefaultRouteInfo& default6, const ResolvedAddresses& endpoint,
                       const std::vector<std::string>& bypass_prefixes) {
  const bool has_default4 = IsUsableDefaultRoute(default4);
  const bool has_default6 = IsUsableDefaultRoute(default6);
  if (has_default4) {
    for (const std::string& prefix : bypass_prefixes) {
      if (RunShellCommand(RouteCommand("replace", PinnedRoute(false, prefix, default4))) != 0) {
        PrintErrorLine("RTNETLINK: failed to install IPv4 bypass route for " + prefix);
      }
    }
  }
  // The engine's own connection to the server must not enter the tunnel.
  if (has_default4 && !endpoint_host.empty()) {
    for (const std::string& address : endpoint.ipv4) {
      const OwnedRoute pin = PinnedRoute(false, address + "/32", default4);
      if (RunShellCommand(RouteCommand("replace", pin)) != 0) {
        PrintErrorLine("RTNETLINK: failed to install IPv4 bypass route for " + address);
      }
    }
  }
  if (has_default6 && !endpoint_host.empty()) {
    for (const std::string& address : endpoint.ipv6) {
      const OwnedRoute pin = PinnedRoute(true, address + "/128", default6);
      if (RunShellCommand(RouteCommand("replace", pin)) != 0) {
        PrintErrorLine("RTNETLINK: failed to install IPv6 bypass route for " + address);
      }
    }
  }
}

void CleanupTunRoutes(const std::string& tun_name, const std::string& endpoint_host,
                      const DefaultRouteInfo& default4, const DefaultRouteInfo& default6,
                      const ResolvedAddresses& endpoint,
                      const std::vector<std::string>& bypass_prefixes, bool split6) {
  // Every delete names the metric of the helper's own route: without it the
  // kernel removes the lowest-metric match, which may be the user's own
  // route to the same destination.
  // An unsafe name never got routes, and must not reach the shell now.
  if (IsSafeShellToken(tun_name)) {
    for (const bool ipv6 : {false, true}) {
      if (ipv6 && !split6) continue;
      for (const OwnedRoute& half : SplitOwnedRoutes(tun_name, ipv6)) {
        RunShellCommand(RouteCommand("del", half));
      }
    }
  }
  RemoveBypassRoutes(endpoint_host, default4, default6, endpoint, bypass_prefixes, "");
}

void RemoveBypassRoutes(const std::string& endpoint_host, const DefaultRouteInfo& default4,
                        const DefaultRouteInfo& default6, const ResolvedAddresses& endpoint,
                        const std::vector<std::string>& bypass_prefixes, const char* suffix) {
  if (!endpoint_host.empty() && IsUsableDefaultRoute(default4)) {
    for (const std::string& address : endpoint.ipv4) {
      RunShellCommand(RouteCommand("del", PinnedRoute(false, address + "/32", default4)) + suffix);
    }
  }
  if (!endpoint_host.empty() && IsUsableDefaultRoute(default6)) {
    for (const std::string& address : endpoint.ipv6) {
      RunShellCommand(RouteCommand("del", PinnedRoute(true, address + "/128", default6)) + suffix);
    }
  }
  if (IsUsableDefaultRoute(default4)) {
    for (const std::string& prefix : bypass_prefixes) {
      RunShellCommand(RouteCommand("del", PinnedRoute(false, prefix, default4)) + kQuietSuffix);
    }
  }
}

std::vector<OwnedRoute> SplitOwnedRoutes(const std::string& tun_name, bool ipv6) {
  if (!IsSafeShellToken(tun_name)) return {};
  std::vector<OwnedRoute> routes;
  for (const char* half : ipv6 ? std::vector<const char*>{"::/1", "8000::/1"}
                               : std::vector<const char*>{"0.0.0.0/1", "128.0.0.0/1"}) {
    OwnedRoute route;
    route.ipv6 = ipv6;
    route.destination = half;
    route.dev = tun_name;
    route.metric = kSplitMetric;
    routes.push_back(route);
  }
  return routes;
}

std::vector<OwnedRoute> PinnedOwnedRoutes(const std::string& endpoint_host,
                                        const DefaultRouteInfo& default4,
                                        const DefaultRouteInfo& default6,
                                        const ResolvedAddresses& endpoint,
                                        const std::vector<std::string>& bypass_prefixes) {
  std::vector<OwnedRoute> routes;
  if (IsUsableDefaultRoute(default4)) {
    for (const std::string& prefix : bypass_prefixes) routes.push_back(PinnedRoute(false, prefix, default4));
    if (!endpoint_host.empty()) {
      for (const std::string& address : endpoint.ipv4) {
        routes.push_back(PinnedRoute(false, address + "/32", default4));
      }
    }
  }
  if (IsUsableDefaultRoute(default6) && !endpoint_host.empty()) {
    for (const std::string& address : endpoint.ipv6) {
      routes.push_back(PinnedRoute(true, address + "/128", default6));
    }
  }
  return routes;
}

bool IsSplitRoute(const RouteKey& key) {
  if (key.table != "main" || key.type != "unicast" || key.metric != kSplitMetric) return false;
  return key.ipv6 ? key.destination == "::/1" || key.destination == "8000::/1"
                  : key.destination == "0.0.0.0/1" || key.destination == "128.0.0.0/1";
}

bool IsPinnedRoute(const RouteKey& key, const ResolvedAddresses& endpoint,
                   const std::vector<std::string>& bypass_prefixes) {
  if (key.table != "main" || key.type != "unicast" || key.metric != kPinMetric) return false;
  const std::vector<std::string>& addresses = key.ipv6 ? endpoint.ipv6 : endpoint.ipv4;
  for (const std::string& address : addresses) {
    if (CanonicalDestination(key.ipv6, address) == key.destination) return true;
  }
  if (key.ipv6) return false;
  for (const std::string& prefix : bypass_prefixes) {
    if (CanonicalDestination(false, prefix) == key.destination) return true;
  }
  return false;
}
