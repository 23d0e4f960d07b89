#pragma once

#include <string>

#include "routing/default_route.h"
#include "routing/marked_traffic.h"

// Comment on the firewall rules that give re-routed pings their way back.
inline constexpr const char* kIcmpBypassMarker = "zelmo-vpn-icmp-bypass";

void ApplyIcmpBypass(const DefaultRouteInfo& default4);
void CleanupIcmpBypass(const DefaultRouteInfo& default4);

// The pieces one at a time, for putting back what went missing while READY.
// "ip rule add fwmark 0x1 lookup 100 priority 100".
std::string IcmpBypassRuleCommand();
bool ListsIcmpBypassRule(const std::string& ip_rule_listing);
// Check, then append: one marking rule however often it runs. True when
// it is in place.
bool InstallIcmpMarkRule();
// In a "-S" listing of the mangle table.
bool ListsIcmpMarkRule(const std::string& mangle_listing);
// Source NAT and connection marks for pings sent out of DEVICE.
MarkedTraffic IcmpBypassMarkedTraffic(const std::string& device);

// Moves an installed bypass from the old default route to the new one
// (either may be absent): table 100's route, and the rules on the device.
void RepinIcmpBypass(const DefaultRouteInfo& old4, const DefaultRouteInfo& new4);
