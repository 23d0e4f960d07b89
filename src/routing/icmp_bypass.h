#pragma once

#include "routing/default_route.h"

// Comment on the firewall rules that give re-routed pings their way back.
inline constexpr const char* kIcmpBypassMarker = "zelmo-vpn-icmp-bypass";

void ApplyIcmpBypass(const DefaultRouteInfo& default4);
void CleanupIcmpBypass(const DefaultRouteInfo& default4);

// Moves an installed bypass from the old default route to the new one
// (either may be absent): table 100's route, and the rules on the device.
void RepinIcmpBypass(const DefaultRouteInfo& old4, const DefaultRouteInfo& new4);
