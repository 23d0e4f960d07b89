#include "watch/network_view.h"

#include <net/if.h>

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
