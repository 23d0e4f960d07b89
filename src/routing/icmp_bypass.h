#pragma once

#include "routing/default_route.h"

// Comment on the firewall rules that give re-routed pings their way back.
inline constexpr const char* kIcmpBypassMarker = "zelmo-vpn-icmp-bypass";

void ApplyIcmpBypass(const DefaultRouteInfo& default4);
void CleanupIcmpBypass(const DefaultRouteInfo& default4);
