#pragma once

#include <string>

#include "lifecycle/route_spec.h"
#include "routing/default_route.h"
#include "routing/marked_traffic.h"

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

// The pieces as the install writes them, for the watch while READY: table
// 100's route through the default route, the rule that sends marked pings
// there, the marking rule of mangle OUTPUT.
RouteSpec IcmpBypassTableRoute(const DefaultRouteInfo& default4);
RuleSpec IcmpBypassRuleSpec();
std::string IcmpMarkRule();
// A listed mangle OUTPUT rule that is the bypass's: the marking rule, or
// the older one that marked every ICMP packet.
bool IsIcmpMarkRule(const std::string& listed_rule);

// "ip rule add fwmark 0x1 lookup 100 priority 100".
std::string IcmpBypassRuleCommand();
// Check, then append: one marking rule however often it runs. True when
// it is in place.
bool InstallIcmpMarkRule();
// Source NAT and connection marks for pings sent out of DEVICE.
MarkedTraffic IcmpBypassMarkedTraffic(const std::string& device);
