#pragma once

#include <string>

struct DefaultRouteInfo {
  std::string gateway;
  std::string dev;
};

// First line of a /proc/net/route text whose destination and mask are both
// 00000000; the empty record when none qualifies or its gateway is unparsable.
DefaultRouteInfo ParseProcNetRoute(const std::string& route_text);
DefaultRouteInfo ReadDefaultRoute();

// First line of "ip -6 route show default" output: the words after via/dev.
DefaultRouteInfo ParseIpv6DefaultRoute(const std::string& ip_output);
DefaultRouteInfo ReadDefaultRouteV6();

// A route is usable in a command only when both fields pass IsSafeShellToken.
bool IsUsableDefaultRoute(const DefaultRouteInfo& route);
