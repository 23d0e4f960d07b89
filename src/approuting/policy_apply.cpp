#include "approuting/policy_apply.h"

// Not built yet: arrives with the app-routing work.
bool ApplyAppRoutingPolicy(const AppRoutingPolicy&, const std::string&, const DefaultRouteInfo&, std::string*) { return true; }
