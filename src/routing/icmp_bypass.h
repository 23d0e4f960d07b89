#pragma once

#include <string>

#include "lifecycle/owned_route.h"
#include "lifecycle/route_listing.h"
#include "routing/default_route.h"
#include "routing/marked_traffic.h"

// Comment on the firewall rules of the ICMP bypass: the marking rule and
// the rules that give re-routed pings their way back.
inline constexpr const char* kIcmpBypassMarker = "zelmo-vpn-icmp-bypass";

enum class IcmpBypassResult {
  kInstalled,
  kNoDefaultRoute,   // nothing to route pings by
  kTableInUse,       // table 100 holds routes that are not the bypass's own
  kMarkRuleRefused,  // the firewall would not take the marking rule
};

// Table 100 is a number other set-ups use too (a second uplink's default
// route, say). Given the output of "ip route show table 100", true when it
// holds nothing but what the bypass itself puts there for DEFAULT4: a
// default route via its gateway and device, in either listed form. A
// default route via another gateway or device is another owner's.
bool IsIcmpBypassTableFree(const std::string& table_listing, const DefaultRouteInfo& default4);
// The gateway and device of the one default route of the bypass's shape
// that a table 100 listing holds, when it holds nothing else; empty
// otherwise (also for an empty table).
DefaultRouteInfo ParseIcmpBypassTableRoute(const std::string& table_listing);
// Without memory of the run (the cleanup mode): the table is the bypass's
// while the bypass's own rule (IsIcmpBypassRule) is in the "ip rule show
// fwmark 0x1 lookup 100 priority 100" listing and the table holds nothing
// or a lone default route of the bypass's shape.
bool IsIcmpBypassTableOwned(const std::string& table_listing, const std::string& rule_listing);

// Table 100's route while IsIcmpBypassTableOwned holds (read from the
// host), for the cleanup mode to find the routes pinned beside it; empty
// otherwise.
DefaultRouteInfo ReadOwnedIcmpBypassRoute();

// Why a result other than kInstalled left the bypass out, for the line
// "INFO: ICMP bypass not installed; <reason>"; empty for kInstalled.
std::string IcmpBypassSkipReason(IcmpBypassResult result);

// Idempotent: a second call while installed changes nothing.
IcmpBypassResult ApplyIcmpBypass(const DefaultRouteInfo& default4);
// Removes the marking rule (this form and the older one that marked every
// ICMP packet) and the way back; the table's route and rule only while the
// table is empty or holds nothing but the bypass's route through DEFAULT4,
// the route the run put there (empty where the run left the bypass out:
// then a route in the table is another owner's).
void CleanupIcmpBypass(const DefaultRouteInfo& default4);
// The same for the cleanup mode, which judges the table by
// IsIcmpBypassTableOwned.
void CleanupStaleIcmpBypass();

// The pieces as the install writes them, for the watch while READY: table
// 100's route through the default route, the rule that sends marked pings
// there, the marking rule of mangle OUTPUT.
OwnedRoute IcmpBypassTableRoute(const DefaultRouteInfo& default4);
OwnedRule IcmpBypassOwnedRule();
std::string IcmpMarkRule();
// A listed mangle OUTPUT rule that is the bypass's: the marking rule, or
// the older one that marked every ICMP packet.
bool IsIcmpMarkRule(const std::string& listed_rule);

// "ip rule add fwmark 0x1 ipproto icmp lookup 100 priority 100".
std::string IcmpBypassRuleCommand();
// The rule in either of its forms: this one, or the older one without
// "ipproto icmp" that an earlier version left (recognised as the bypass's,
// and replaced).
bool IsIcmpBypassRule(const ListedRule& rule);
// Whether an "ip rule show" listing holds such a rule.
bool ListsIcmpBypassRule(const std::string& ip_rule_listing);
// Check, then append: one marking rule however often it runs. True when
// it is in place.
bool InstallIcmpMarkRule();
// Source NAT (of ICMP alone) and connection marks for pings sent out of
// DEVICE.
MarkedTraffic IcmpBypassMarkedTraffic(const std::string& device);
