#include "approuting/policy.h"

// Not built yet: arrives with the app-routing work.
bool IsValidLinuxAppBypassPolicy(const std::string&, std::string*) { return true; }
AppRoutingPolicy ParseAppRoutingPolicy(const std::string&, std::string*) { return {}; }
