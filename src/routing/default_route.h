#pragma once

#include <string>

// A default route of one family. A route without a gateway (PPP, mobile
// broadband, point-to-point links: "default dev wwan0") counts as well: its
// gateway is "0.0.0.0" for IPv4 (as /proc/net/route gives it) and empty for
// IPv6.
struct DefaultRouteInfo {
  std::string gateway;
  std::string dev;
};

// First line of a /proc/net/route text whose destination and mask are both
// 00000000; the empty record when none qualifies or its gateway is unparsable.
DefaultRouteInfo ParseProcNetRoute(const std::string& route_text);
DefaultRouteInfo ReadDefaultRoute();

// First line of "ip -6 route show default" output: the words after via/dev;
// the empty record when that line is not a plain "default ..." route.
DefaultRouteInfo ParseIpv6DefaultRoute(const std::string& ip_output);
DefaultRouteInfo ReadDefaultRouteV6();

// False for a route without a gateway: empty, "0.0.0.0" or "::".
bool HasGateway(const DefaultRouteInfo& route);

// A route is usable in a command when its device passes IsSafeShellToken
// and its gateway does too or is empty (a route without a gateway).
bool IsUsableDefaultRoute(const DefaultRouteInfo& route);

// The same device and the same gateway, or no gateway on either side
// ("0.0.0.0" and empty alike: the kernel lists a route added "via 0.0.0.0"
// without "via").
bool SameDefaultRoute(const DefaultRouteInfo& a, const DefaultRouteInfo& b);

// Where a route pinned to this default route goes, for its install and its
// delete alike: " via GATEWAY dev DEVICE", or " dev DEVICE" (an on-link
// route) when the gateway is empty. An IPv4 route without a gateway keeps
// "via 0.0.0.0", which the kernel takes as on-link.
std::string DefaultRouteNextHop(const DefaultRouteInfo& route);

// "INFO: default6 via=GW dev=DEV", "INFO: default6 dev=DEV" for a route
// without a gateway, or "INFO: default6 missing".
std::string Default6StatusLine(const DefaultRouteInfo& default6);
