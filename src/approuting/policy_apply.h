#pragma once

#include <string>
#include <vector>

#include "approuting/policy.h"
#include "routing/default_route.h"

// The table route and the routing rule for a mode, in the order they run;
// empty for a mode that is neither "bypassSelected" nor "vpnOnlySelected".
// The inserted values must already have passed the safe-word screen.
std::vector<std::string> AppRoutingRouteCommands(const std::string& mode,
                                                 const std::string& tun_name,
                                                 const DefaultRouteInfo& default_route);
// "iptables -t mangle <action> OUTPUT ..." for the group's mark rule.
std::string AppMarkRuleCommand(const std::string& action, const std::string& match_path);

bool ApplyAppRoutingPolicy(const AppRoutingPolicy& policy, const std::string& tun_name,
                           const DefaultRouteInfo& default_route, std::string* error);
