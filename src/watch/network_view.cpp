#include "watch/network_view.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

void ReadTunAddresses(const std::string& tun_name, NetworkView* view) {
  view->tun_address4 = view->tun_address6 = view->tun_addresses_read = false;
  ifaddrs* addresses = nullptr;
  if (tun_name.empty() || getifaddrs(&addresses) != 0) return;
  view->tun_addresses_read = true;
  for (const ifaddrs* entry = addresses; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || tun_name != entry->ifa_name) continue;
    if (entry->ifa_addr->sa_family == AF_INET) view->tun_address4 = true;
    if (entry->ifa_addr->sa_family == AF_INET6 &&
        !IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr)) {
      view->tun_address6 = true;
    }
  }
  freeifaddrs(addresses);
}
