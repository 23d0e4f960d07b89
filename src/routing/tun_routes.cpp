#include "routing/tun_routes.h"

// Not built yet: arrives with the tunnel-routing work.
void ApplyTunRoutes(const std::string&, const std::string&, const DefaultRouteInfo&, const DefaultRouteInfo&, const ResolvedAddresses&, const std::vector<std::string>&) {}
void CleanupTunRoutes(const std::string&, const std::string&, const DefaultRouteInfo&, const DefaultRouteInfo&, const ResolvedAddresses&, const std::vector<std::string>&) {}
