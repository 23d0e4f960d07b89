#pragma once

#include <string>
#include <vector>

#include "routing/default_route.h"
#include "routing/endpoint.h"

void ApplyTunRoutes(const std::string& tun_name, const std::string& endpoint_host,
                    const DefaultRouteInfo& default4, const DefaultRouteInfo& default6,
                    const ResolvedAddresses& endpoint,
                    const std::vector<std::string>& bypass_prefixes);
void CleanupTunRoutes(const std::string& tun_name, const std::string& endpoint_host,
                      const DefaultRouteInfo& default4, const DefaultRouteInfo& default6,
                      const ResolvedAddresses& endpoint,
                      const std::vector<std::string>& bypass_prefixes);
