#pragma once

#include <string>

#include "routing/default_route.h"

// Comment on the firewall rules of the ICMP bypass: the marking rule and
// the rules that give re-routed pings their way back.
inline constexpr const char* kIcmpBypassMarker = "zelmo-vpn-icmp-bypass";

enum class IcmpBypassResult {
  kInstalled,
  kNoDefaultRoute,  // nothing to route pings by
  kTableInUse,      // table 100 holds routes that are not the bypass's own
};

// Table 100 is a number other set-ups use too. Given the output of
// "ip route show table 100", true when it holds nothing but what the
// bypass itself puts there: a default route through a gateway (possibly
// left by a run that was killed).
bool IsIcmpBypassTableFree(const std::string& table_listing);

// Idempotent: a second call while installed changes nothing.
IcmpBypassResult ApplyIcmpBypass(const DefaultRouteInfo& default4);
// Removes the marking rule (this form and the older one that marked every
// ICMP packet) and the way back; the table's route and rule only while the
// table is the bypass's own.
void CleanupIcmpBypass(const DefaultRouteInfo& default4);

// Moves an installed bypass from the old default route to the new one
// (either may be absent): table 100's route, and the rules on the device.
void RepinIcmpBypass(const DefaultRouteInfo& old4, const DefaultRouteInfo& new4);
