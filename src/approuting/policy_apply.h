#pragma once

#include <string>

#include "approuting/policy.h"
#include "routing/default_route.h"

bool ApplyAppRoutingPolicy(const AppRoutingPolicy& policy, const std::string& tun_name,
                           const DefaultRouteInfo& default_route, std::string* error);
