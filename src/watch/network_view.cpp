#include "watch/network_view.h"

#include <net/if.h>

#include "approuting/markers.h"
#include "routing/icmp_bypass.h"

DefaultRouteInfo UsableOrAbsent(const DefaultRouteInfo& route) {
  return IsUsableDefaultRoute(route) ? route : DefaultRouteInfo{};
}

NetworkView ViewOfRoutes(const std::vector<ListedRoute>& routes4,
                         const std::vector<ListedRoute>& routes6, const std::string& tun_name,
                         int tun_ifindex) {
  NetworkView view;
  const ListedDefaultRoute listed4 = SelectDefaultRoute(routes4, false, tun_name);
  const ListedDefaultRoute listed6 = SelectDefaultRoute(routes6, true, tun_name);
  view.default4 = UsableOrAbsent({listed4.gateway, listed4.dev});
  view.default6 = UsableOrAbsent({listed6.gateway, listed6.dev});
  view.tun_ifindex = tun_ifindex;
  return view;
}

int ReadTunIndex(const std::string& tun_name) {
  if (tun_name.empty()) return 0;
  return static_cast<int>(if_nametoindex(tun_name.c_str()));
}

std::vector<std::string> DefaultRouteDevices(const std::vector<ListedRoute>& routes4,
                                             const std::vector<ListedRoute>& routes6,
                                             const DefaultRouteInfo& icmp_table_route) {
  std::vector<std::string> devices;
  for (const std::vector<ListedRoute>* routes : {&routes4, &routes6}) {
    for (const ListedRoute& route : *routes) {
      if (route.key.type != "unicast" ||
          (route.key.destination != "0.0.0.0/0" && route.key.destination != "::/0")) {
        continue;
      }
      if (route.key.table == kBypassTable || route.key.table == kTunnelOnlyTable) continue;
      if (!icmp_table_route.dev.empty() &&
          ListedRouteIs(route, IcmpBypassTableRoute(icmp_table_route))) {
        continue;
      }
      if (!route.dev.empty()) devices.push_back(route.dev);
      for (const ListedNextHop& hop : route.next_hops) {
        if (!hop.dev.empty()) devices.push_back(hop.dev);
      }
    }
  }
  return devices;
}
