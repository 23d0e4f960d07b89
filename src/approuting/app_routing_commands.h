#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lifecycle/owned_route.h"
#include "routing/default_route.h"
#include "routing/marked_traffic.h"

// The command texts of app routing, shared by its apply and its cleanup.
// Inserted values (TUN name, gateway, device, cgroup match path) must have
// passed their screens before they get here; everything else is fixed.

struct AppRoutingFamily {
  const char* ip;        // "ip" or "ip -6"
  const char* firewall;  // "iptables" or "ip6tables"
};
inline constexpr AppRoutingFamily kAppRoutingIpv4{"ip", "iptables"};
inline constexpr AppRoutingFamily kAppRoutingIpv6{"ip -6", "ip6tables"};

// The table's default route, the routing rule and the table's unreachable
// fallback for a mode, in the order they run; empty for a mode that is
// neither "bypassSelected" nor "vpnOnlySelected". "bypassSelected" without
// a usable route gets no route: its table then refuses everything, so a
// selected program is never sent the other way, through the tunnel.
std::vector<std::string> AppRoutingRouteCommands(const AppRoutingFamily& family,
                                                 const std::string& mode,
                                                 const std::string& tun_name,
                                                 const DefaultRouteInfo& default_route);

// The same pieces as owned routes and rules, for the watch while READY: the table's routes
// (the default route only where there is one to write: a usable default
// route, or a TUN device that exists), and the routing rule (an empty
// priority for a mode without a table).
std::vector<OwnedRoute> AppRoutingOwnedRoutes(const AppRoutingFamily& family,
                                            const std::string& mode, const std::string& tun_name,
                                            const DefaultRouteInfo& default_route);
OwnedRule AppRoutingOwnedRule(const AppRoutingFamily& family, const std::string& mode);
// Tables 1066 and 1067 hold nothing but the helper's routes.
bool IsAppRoutingTable(const std::string& table);
// The group's mark rule of mangle OUTPUT, as written after "-A OUTPUT ".
std::string AppMarkRule(const std::string& match_path);
// A listed mangle OUTPUT rule that marks the packets of a group of the
// helper's name, under any base path.
bool IsAppMarkRule(const std::string& listed_rule);

// "<ip> rule add fwmark 0x66 lookup TABLE priority 1066", quiet; empty
// for a mode without a table.
std::string AppRoutingRuleCommand(const AppRoutingFamily& family, const std::string& mode);

// "<firewall> -t mangle <action> OUTPUT -m cgroup --path ... --set-mark 0x66".
std::string AppMarkRuleCommand(const AppRoutingFamily& family, const std::string& action,
                               const std::string& match_path);

// One delete per table for the routing rules, and the flush of both tables.
std::vector<std::string> AppRoutingRuleDeleteCommands(const AppRoutingFamily& family);
std::vector<std::string> AppRoutingTableFlushCommands(const AppRoutingFamily& family);
// The same for one table ("1066" or "1067").
std::string AppRoutingRuleDeleteCommand(const AppRoutingFamily& family, const std::string& table);
std::string AppRoutingTableFlushCommand(const AppRoutingFamily& family, const std::string& table);

// The delete commands for the app-routing mark rules found in a listing of
// "<firewall> -t mangle -S OUTPUT": rules for a group of the helper's name
// under any base path, so rules left by invocations in other cgroups go too.
std::vector<std::string> StaleMarkRuleDeleteCommands(const AppRoutingFamily& family,
                                                     const std::string& listing);

// The source NAT and connection marks the selected programs' traffic needs
// on the device the mark sends it to: the physical one for
// "bypassSelected", the tunnel for "vpnOnlySelected". None when there is
// no such device.
std::optional<MarkedTraffic> AppRoutingMarkedTraffic(const AppRoutingFamily& family,
                                                     const std::string& mode,
                                                     const std::string& tun_name,
                                                     const DefaultRouteInfo& default_route);
