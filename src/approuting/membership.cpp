#include "approuting/membership.h"

// Not built yet: arrives with the app-routing work.
std::atomic<bool> g_app_routing_stop{false};
void RefreshAppRoutingCgroupMembership(const AppRoutingPolicy&) {}
void AppRoutingCgroupMonitor(AppRoutingPolicy) {}
