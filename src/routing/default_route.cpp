#include "routing/default_route.h"

// Not built yet: arrives with the tunnel-routing work.
DefaultRouteInfo ParseProcNetRoute(const std::string&) { return {}; }
DefaultRouteInfo ReadDefaultRoute() { return {}; }
DefaultRouteInfo ParseIpv6DefaultRoute(const std::string&) { return {}; }
DefaultRouteInfo ReadDefaultRouteV6() { return {}; }
bool IsUsableDefaultRoute(const DefaultRouteInfo&) { return false; }
