#pragma once

// The network as the watch last read it: the physical default route of
// each family and the engine's TUN device, judged by its interface index.

#include <string>
#include <vector>

#include "lifecycle/route_listing.h"
#include "routing/default_route.h"

struct NetworkView {
  DefaultRouteInfo default4;  // IPv4 writes 0.0.0.0 for a route without a gateway
  DefaultRouteInfo default6;  // IPv6 leaves the gateway empty for one
  int tun_ifindex = 0;        // 0 while the device is gone
  // Whether the device holds an address of the family (IPv6: one that is
  // not link-local, which every device gets): without one, what the split
  // routes send into it leaves with another device's address.
  bool tun_address4 = false;
  bool tun_address6 = false;
  bool tun_addresses_read = false;  // the two above were read from the device
};

// The view from the route listings of both families (the TUN device's own
// routes are never taken for the default route) and the device's index.
NetworkView ViewOfRoutes(const std::vector<ListedRoute>& routes4,
                         const std::vector<ListedRoute>& routes6, const std::string& tun_name,
                         int tun_ifindex);
int ReadTunIndex(const std::string& tun_name);
// Fills the view's tun_address4 and tun_address6 from the host.
void ReadTunAddresses(const std::string& tun_name, NetworkView* view);
// The route, or none where it fails the default route's screen.
DefaultRouteInfo UsableOrAbsent(const DefaultRouteInfo& route);

