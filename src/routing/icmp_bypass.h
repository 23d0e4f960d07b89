#pragma once

#include "routing/default_route.h"

void ApplyIcmpBypass(const DefaultRouteInfo& default4);
void CleanupIcmpBypass(const DefaultRouteInfo& default4);
